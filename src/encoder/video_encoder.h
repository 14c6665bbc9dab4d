// The encoder the secure-capture loop uses: BGRA frames in, H.264 (Annex-B)
// out, on the hardware encoder when the machine has a usable one and on
// OpenH264 otherwise.
//
// Policy, with its fixed numbers:
//  - creation tries the hardware with the High profile, then Main, then
//    falls back to software;
//  - on hardware, 30 consecutive failed frames, or 10 successful calls
//    without a single output byte, switch to software for the frame at hand;
//  - on software, the hardware is tried again 60 s after the fall-back, then
//    60 s, 60 s and 300 s after each failed retry; after the fourth failed
//    retry it stays on software for good;
//  - a successful retry goes back to hardware; a retry succeeds when the new
//    transform produces output for the frame within a bounded wait (an
//    asynchronous one answers a call late).
// Deadlines are looked at only when a frame arrives.
//
// The stream it returns can always be decoded from where the GUI joined it:
// the first output of every encoder it makes (at creation, after a switch
// either way) and the first after force_key_frame() is a key frame, and
// nothing before that key frame is returned (KeyFrameGate). Output a failed
// hardware call had already collected is returned, not dropped.
//
// Screens larger than the software encoder's limit (3840 × 2160 either way)
// are encoded scaled down to the largest even size within it, aspect kept,
// on both encoders alike.
//
// Threading: one thread (the secure-capture thread, COM initialised), no locks.
// Errors: encode() fails with "frame size mismatch: ..." for a wrong length
// (nothing changes), or with the software encoder's "openh264 ..." text; a
// failed hardware frame is an empty result. The encoder stays usable.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>

#include "common/clock.h"
#include "common/error.h"
#include "common/logger.h"
#include "encoder/encoded_frame.h"

namespace halvorine {

class MediaFoundation;
class OpenH264Library;

class VideoEncoder {
 public:
  static constexpr std::uint32_t kFailuresBeforeSoftware = 30;
  static constexpr std::uint32_t kLoggedFailuresInARun = 3;
  static constexpr std::uint32_t kSilentCallsBeforeSoftware = 10;
  static constexpr std::chrono::seconds kFirstRetryDelay{60};
  static constexpr std::chrono::seconds kShortRetryDelay{60};  // after the 1st and 2nd failed retry
  static constexpr std::chrono::seconds kLongRetryDelay{300};  // after the 3rd
  static constexpr std::uint32_t kFailedRetriesBeforeGivingUp = 4;

  // This platform's Media Foundation and the linked OpenH264. `log` and
  // `clock` must outlive the encoder.
  static Result<VideoEncoder> create(std::uint32_t width, std::uint32_t height, std::uint32_t fps,
                                     std::uint32_t kbps, Logger& log, const Clock& clock);
  // With the platform given; `media_foundation` and `openh264` must outlive
  // the encoder. `logical_processors` (0: unknown) sizes the software
  // encoder's threads.
  static Result<VideoEncoder> create(std::uint32_t width, std::uint32_t height, std::uint32_t fps,
                                     std::uint32_t kbps, Logger& log, const Clock& clock,
                                     MediaFoundation& media_foundation, OpenH264Library& openh264,
                                     unsigned logical_processors);

  // A moved-from encoder may only be assigned to or destroyed.
  VideoEncoder(VideoEncoder&&) noexcept;
  VideoEncoder& operator=(VideoEncoder&&) noexcept;
  ~VideoEncoder();

  // `bgra`: tightly packed top-down BGRA of width × height. An empty result
  // means no output for this call (never an empty frame to send).
  Result<EncodedFrame> encode(std::span<const std::uint8_t> bgra);

  // Output the active encoder has ready without a new frame (an asynchronous
  // transform's late output); empty when there is none.
  Result<EncodedFrame> collect_pending_output();

  // The next output is a key frame; nothing is returned before it.
  void force_key_frame();

  bool on_hardware() const;

 private:
  struct State;
  explicit VideoEncoder(std::unique_ptr<State> state);

  std::unique_ptr<State> state_;
};

}  // namespace halvorine
