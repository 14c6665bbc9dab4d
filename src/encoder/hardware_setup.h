// The set-up half of the hardware encoder (hardware_encoder.h): what one
// transform is configured with and the steps that configure it. Internal to
// the encoder library.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/error.h"
#include "common/logger.h"
#include "encoder/frame_scaler.h"
#include "encoder/transform_api.h"

namespace halvorine {

// What the transform is asked for, fixed at creation.
struct HardwareSettings {
  std::uint32_t width = 0;  // the encoded picture's size
  std::uint32_t height = 0;
  FrameSize input;          // the frames' own size
  std::uint32_t fps = 1;
  std::uint32_t kbps = 0;
  std::uint32_t profile = 0;

  // The size the transform works at (the converter's even size).
  std::uint64_t frame_size() const;
  std::uint64_t frame_rate() const;
  std::uint32_t bit_rate() const;
  std::uint32_t key_frame_spacing() const;
};

// One configured transform and the interfaces the per-frame work uses.
struct TransformHandles {
  std::unique_ptr<MfTransform> transform;
  std::unique_ptr<MfCodecApi> codec_api;
  std::unique_ptr<MfEventQueue> events;  // exactly when asynchronous
  bool provides_samples = false;
  std::uint32_t output_sample_bytes = 0;  // when we provide them: output_sample_bytes()
};

// The capacity of the output sample we make for a transform that does not
// provide its own: the output buffer size it reports, within bounds (a
// driver's 0 must not fail every picture, nor its 4 GiB take the memory).
std::uint32_t output_sample_bytes(const Result<MfOutputStreamInfo>& info);

// The H.264 output type's required attributes, on a new type at set-up and
// on the transform's template after a stream change. The first failure is
// returned.
Result<void> fill_h264_output_type(MfMediaType& type, const HardwareSettings& settings);

// Activates and configures one enumerated encoder up to the start of
// streaming, logging the settings' outcome. Any error is fatal for it.
Result<TransformHandles> set_up_transform(MediaFoundation& mf, MfEncoderCandidate& entry,
                                          const HardwareSettings& settings, Logger& log);

// The candidate's friendly name as logged: "unknown" when unreadable, empty
// when not valid UTF-16.
std::string friendly_name(MfEncoderCandidate& candidate);

// The HRESULT of a platform error, for "0x{:08X}".
inline std::uint32_t hex(const Error& error) { return static_cast<std::uint32_t>(error.code()); }

}  // namespace halvorine
