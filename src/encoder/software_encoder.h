// The software H.264 encoder: one BGRA frame in, one H.264 access unit
// (Annex-B, every NAL unit of every layer) out, through OpenH264.
//
// Tuned for screen content at a modest rate: the frame rate is capped at 20
// and the bit rate at 6000 kbit/s whatever the caller asks for, with at most 8
// encoder threads. The library instance is created by create() and
// initialised at the first encode(); a failed initialisation is tried again
// at the next encode().
//
// Output ceiling: OpenH264 in quality mode cannot hold a bit rate on a
// screen that changes as a whole (each such frame is an IDR whose QP the
// library caps), so a frame that would take the last second's output past
// twice the target is held back: encode() returns nothing and the library
// never sees it. A requested key frame always goes through, as does a frame
// after a silent second (output_ceiling.h); the second is the clock's.
//
// Frames of odd width or height are encoded at the next even size, the last
// column/row repeated (H.264 4:2:0 has no odd sizes); the decoded picture is
// then one pixel wider/taller than the source.
//
// Implements H264Encoder: it has no late output and publishes its parameter
// sets only in-band (every IDR carries them).
//
// Threading: one thread at a time (the library runs threads of its own).
// Errors: create() fails with "openh264 init (WxH Ffps): <description>";
// encode() with "openh264 encode: <description>", where a description starts
// "OpenH264 encountered an error. Native: <library return code>". The
// encoder stays usable after a failed encode().
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "common/clock.h"
#include "common/error.h"
#include "common/logger.h"
#include "encoder/frame_scaler.h"
#include "encoder/h264_encoder.h"

class ISVCEncoder;  // OpenH264's encoder interface (wels/codec_api.h)

namespace halvorine {

class OpenH264Library;

// The settings create() fixed from the caller's request.
struct SoftwareEncoderSettings {
  std::uint32_t fps = 0;   // min(max(requested, 1), 20)
  std::uint32_t kbps = 0;  // min(requested, 6000)
  unsigned threads = 0;    // logical processors capped at 8; 4 when unknown
};

class SoftwareEncoder final : public H264Encoder {
 public:
  static constexpr std::uint32_t kMaxFps = 20;
  static constexpr std::uint32_t kMaxKbps = 6000;
  static constexpr unsigned kMaxThreads = 8;
  static constexpr unsigned kThreadsWhenUnknown = 4;
  static constexpr std::uint32_t kMaxLongSide = 3840;
  static constexpr std::uint32_t kMaxShortSide = 2160;

  // The linked library and this machine's processor count.
  static Result<SoftwareEncoder> create(std::uint32_t width, std::uint32_t height,
                                        std::uint32_t fps, std::uint32_t kbps, Logger& log);
  // `logical_processors` 0 means unknown. `library` must outlive the encoder.
  // `input`, when given and larger, is the size of the frames encode() takes:
  // each is scaled down to width × height while it is converted. `clock`
  // (the real one unless given; it must outlive the encoder) times the
  // output ceiling.
  static Result<SoftwareEncoder> create(std::uint32_t width, std::uint32_t height,
                                        std::uint32_t fps, std::uint32_t kbps, Logger& log,
                                        OpenH264Library& library, unsigned logical_processors,
                                        FrameSize input = {}, const Clock* clock = nullptr);

  // A moved-from encoder may only be assigned to or destroyed.
  SoftwareEncoder(SoftwareEncoder&&) noexcept;
  SoftwareEncoder& operator=(SoftwareEncoder&&) noexcept;
  ~SoftwareEncoder() override;  // Uninitialize and WelsDestroySVCEncoder

  // `bgra` holds 4 × width × height bytes of the input size (a shorter one
  // is not converted: the previous picture is encoded again). The result
  // may be empty when the library wrote nothing for the frame.
  EncodeResult encode(std::span<const std::uint8_t> bgra) override;
  EncodeResult encode_changed(std::span<const std::uint8_t> bgra, std::span<const Rect> changed) override;
  EncodeResult collect_pending_output() override { return {}; }

  // The next encoded frame is an IDR frame (once the instance is initialised;
  // the first frame is one anyway).
  void force_key_frame() override;
  EncodedFrame parameter_sets() override { return {}; }
  FrameSize size() const override { return {width(), height()}; }
  std::uint32_t fps() const override { return settings().fps; }

  std::uint32_t width() const;
  std::uint32_t height() const;
  const SoftwareEncoderSettings& settings() const;
  // The library instance, for reading settings back (GetOption).
  ISVCEncoder& instance();

 private:
  struct State;
  explicit SoftwareEncoder(std::unique_ptr<State> state);
  Result<void> initialise();
  // Brings the planes up to `bgra`, converting only what changed where it can.
  void convert(std::span<const std::uint8_t> bgra, std::span<const Rect> changed);

  std::unique_ptr<State> state_;
};

}  // namespace halvorine
