// The hardware H.264 encoder: one Media Foundation encoder transform, found
// by enumeration and set up for low-latency screen streaming (NV12 in, H.264
// out, fixed size and rate, peak bit rate twice the target, no B-frames, key
// frames only on request, BT.709 limited-range colour). Set-up lives in
// hardware_setup.cpp, the per-frame work in hardware_encoder.cpp.
//
// Everything platform-specific goes through the transform seam
// (transform_api.h), so the same logic runs on Windows, on Linux (where no
// encoder is ever enumerated) and in tests with a scripted transform.
//
// Odd sizes: the transform is given the even size the converter produces
// (color_conversion.h), the same the software encoder uses, so a switch
// between the two never changes the decoded picture size. Larger input
// frames can be scaled down to the encoded size within the conversion.
//
// Key frames: the first output after create() is a key frame (the
// validation frames used the transform's first one, so create() asks
// again). With an opening picture, the validation frames encode that picture
// instead of black and their output is kept for the first call: the stream
// then starts on the transform's own first key frame, which even a transform
// that ignores every key-frame request makes.
//
// Output is checked: a sample that is empty, larger than kMaxSampleBytes or
// not H.264 in Annex-B form fails the call (it never reaches a decoder).
//
// Pipelines: a transform that hands out a picture only after later inputs
// holds the last change of a burst. collect_pending_output() pushes such
// pictures out by submitting the last frame again (a picture identical to
// the one before), at most kMaxPushes times, once kPushAfter has passed
// since the last input. Black validation frames are never pushed: the first
// push follows a real frame.
//
// Stream changes: a call ends its collecting at the change and reports it
// (EncodeResult::broken); output of the new type waits for the next call.
//
// Asynchronous transforms: the wait for their next event is bounded by
// kEventWait per encode() call; a transform that stays silent that long makes
// the call fail (the facade's failure count then moves to software). An input
// request survives a sample the transform refused (other than "not
// accepting"), so a failing transform fails each frame at once.
//
// Destruction shuts the transform down (its threads, its event queue and,
// for a hardware encoder, its encode session go with it), also when it
// stalled with an event request outstanding.
//
// Threading: created and used on one thread, which has initialised COM.
// Errors: create() fails with "init: <platform error>" or
// "validation: HW encode frame N: <error>"; encode() with the platform error.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>

#include "common/clock.h"
#include "common/error.h"
#include "common/logger.h"
#include "encoder/h264_encoder.h"
#include "encoder/transform_api.h"

namespace halvorine {

struct HardwareSettings;
struct TransformHandles;

class HardwareEncoder final : public H264Encoder {
 public:
  // MF_MT_MPEG2_PROFILE values the facade asks for.
  static constexpr std::uint32_t kProfileHigh = 100;
  static constexpr std::uint32_t kProfileMain = 77;
  // Longest an encode() call waits for an asynchronous transform's events.
  static constexpr std::chrono::milliseconds kEventWait{300};
  // Output steps logged in detail after creation and after a stream change.
  static constexpr std::uint32_t kVerboseOutputs = 30;
  static constexpr std::uint32_t kVerboseAfterStreamChange = 20;
  // Least capacity of the output sample made for transforms that do not
  // provide one (the most is kMaxSampleBytes); within these, the size the
  // transform asks for.
  static constexpr std::uint32_t kMinOutputSampleBytes = 1 << 20;
  // A transform that keeps producing beyond this in one call is faulty.
  static constexpr unsigned kMaxOutputStepsPerCall = 64;
  // No access unit of ours is larger (a 3840 × 2160 key frame is far less).
  static constexpr std::size_t kMaxSampleBytes = 16 << 20;
  // Held pictures are pushed out this long after the last input.
  static constexpr std::chrono::milliseconds kPushAfter{50};
  static constexpr unsigned kMaxPushes = 4;

  // `fps` 0 is taken as 1. `media_foundation`, `log` and `clock` must outlive
  // the encoder. `input`, when given and larger than width × height (both
  // even then), is the size of the frames encode() takes: each is scaled
  // down to width × height while it is converted. `opening_picture`, when it
  // has that frame size, is validated with (see above). `quiet`: no output
  // step is logged in detail (a rebuilt encoder; the first one showed them).
  static Result<HardwareEncoder> create(MediaFoundation& media_foundation, std::uint32_t width,
                                        std::uint32_t height, std::uint32_t fps,
                                        std::uint32_t kbps, std::uint32_t profile, Logger& log,
                                        const Clock& clock, FrameSize input = {},
                                        std::span<const std::uint8_t> opening_picture = {},
                                        bool quiet = false);

  // A moved-from encoder may only be assigned to or destroyed.
  HardwareEncoder(HardwareEncoder&&) noexcept;
  HardwareEncoder& operator=(HardwareEncoder&&) noexcept;
  // Shuts the transform down and releases it (see transform_api.h); sends it
  // no drain or end-of-stream first.
  ~HardwareEncoder() override;

  // What the transform delivered during the call (possibly nothing,
  // possibly several access units back to back), with what the opening
  // kept in front on the first call.
  EncodeResult encode(std::span<const std::uint8_t> bgra) override;
  EncodeResult encode_changed(std::span<const std::uint8_t> bgra, std::span<const Rect> changed) override;
  EncodeResult collect_pending_output() override;
  // Marks the next submitted sample as a discontinuity and, with a codec
  // API, asks the transform for a key frame (logged).
  void force_key_frame() override;
  // The output type's sequence header, else the SPS and PPS the transform
  // put in its own output since set-up or its last stream change.
  EncodedFrame parameter_sets() override;
  FrameSize size() const override;
  std::uint32_t fps() const override;

  bool asynchronous() const;

 private:
  struct State;
  HardwareEncoder(MediaFoundation& mf, Logger& log, const Clock& clock,
                  const HardwareSettings& settings, TransformHandles handles);
  Result<void> validate(std::span<const std::uint8_t> opening_picture, bool quiet);

  std::unique_ptr<State> state_;
};

}  // namespace halvorine
