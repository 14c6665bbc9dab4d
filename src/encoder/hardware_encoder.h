// The hardware H.264 encoder: one Media Foundation encoder transform, found
// by enumeration and set up for low-latency screen streaming (NV12 in, H.264
// out, fixed size and rate, peak bit rate twice the target, no B-frames, key
// frames only on request, BT.709 limited-range colour).
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
// validation frames used the transform's first one, so create() asks again).
//
// Asynchronous transforms: the wait for their next event is bounded by
// kEventWait per encode() call; a transform that stays silent that long makes
// the call fail (the facade's failure count then moves to software). Their
// output comes a call late; collect_pending_output() picks it up between
// frames and wait_for_output() waits for it a bounded time.
//
// Destruction shuts the transform down (its threads, its event queue and,
// for a hardware encoder, its encode session go with it), also when it
// stalled with an event request outstanding.
//
// Threading: created and used on one thread, which has initialised COM.
// Errors: create() fails with "init: <platform error>" or
// "validation: <frame error>"; encode() with "HW encode frame N: <error>".
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>

#include "common/clock.h"
#include "common/error.h"
#include "common/logger.h"
#include "encoder/encoded_frame.h"
#include "encoder/frame_scaler.h"
#include "encoder/transform_api.h"

namespace halvorine {

class HardwareEncoder {
 public:
  // MF_MT_MPEG2_PROFILE values the facade asks for.
  static constexpr std::uint32_t kProfileHigh = 100;
  static constexpr std::uint32_t kProfileMain = 77;
  // Longest an encode() call waits for an asynchronous transform's events.
  static constexpr std::chrono::milliseconds kEventWait{300};
  // Output steps logged in detail after creation and after a stream change.
  static constexpr std::uint32_t kVerboseOutputs = 30;
  static constexpr std::uint32_t kVerboseAfterStreamChange = 20;
  // Capacity of the output sample made for transforms that do not provide one.
  static constexpr std::uint32_t kOutputSampleBytes = 1 << 20;
  // A transform that keeps producing beyond this in one call is faulty.
  static constexpr unsigned kMaxOutputStepsPerCall = 64;

  // `fps` 0 is taken as 1. `media_foundation`, `log` and `clock` must outlive
  // the encoder. `input`, when given and larger than width × height (both
  // even then), is the size of the frames encode() takes: each is scaled
  // down to width × height while it is converted.
  static Result<HardwareEncoder> create(MediaFoundation& media_foundation, std::uint32_t width,
                                        std::uint32_t height, std::uint32_t fps,
                                        std::uint32_t kbps, std::uint32_t profile, Logger& log,
                                        const Clock& clock, FrameSize input = {});

  // A moved-from encoder may only be assigned to or destroyed.
  HardwareEncoder(HardwareEncoder&&) noexcept;
  HardwareEncoder& operator=(HardwareEncoder&&) noexcept;
  // Shuts the transform down and releases it (see transform_api.h); sends it
  // no drain or end-of-stream first.
  ~HardwareEncoder();

  // `bgra` holds exactly 4 × width × height bytes of the input size. Returns
  // what the transform delivered during the call (possibly nothing, possibly
  // several access units back to back). `frame_number` only names the frame
  // in errors. On failure, output the transform had already handed over is
  // kept for take_undelivered_output().
  Result<EncodedFrame> encode(std::span<const std::uint8_t> bgra, std::uint64_t frame_number);

  // The output a failed encode() had collected before it failed (empty when
  // there was none): it is valid stream data the GUI must not lose.
  EncodedFrame take_undelivered_output();

  // Output an asynchronous transform has ready, taken without waiting and
  // without new input (nothing for a synchronous one).
  Result<EncodedFrame> collect_pending_output();

  // Waits at most `limit` for an asynchronous transform's next output (for
  // a synchronous one there is nothing to wait for: empty at once).
  Result<EncodedFrame> wait_for_output(std::chrono::milliseconds limit);

  // Marks the next submitted sample as a discontinuity and, with a codec
  // API, asks the transform for a key frame (logged).
  void force_key_frame();

  bool asynchronous() const;

 private:
  struct State;
  explicit HardwareEncoder(std::unique_ptr<State> state);

  std::unique_ptr<State> state_;
};

}  // namespace halvorine
