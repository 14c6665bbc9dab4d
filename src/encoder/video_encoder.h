// The encoder the secure-capture loop uses: BGRA frames in, H.264 (Annex-B)
// out, on the hardware encoder when the machine has a usable one and on
// OpenH264 otherwise. A decorator over the encoders its factory makes
// (encoder_factory.h), with the same interface (h264_encoder.h).
//
// Policy, with its fixed numbers:
//  - creation tries the hardware with the High profile, then Main, then
//    falls back to software;
//  - on hardware, 30 consecutive failed frames, or 10 successful calls
//    without a single byte reaching the GUI, switch to software for the
//    frame at hand;
//  - on software, the hardware is tried again 60 s after the fall-back, then
//    60 s, 60 s and 300 s after each failed retry; after the fourth failed
//    retry it stays on software for good;
//  - a successful retry (the new encoder's output for the frame reaches the
//    GUI) goes back to hardware.
// Deadlines are looked at only when a frame arrives.
//
// The stream it returns can always be decoded from where the GUI joined it:
//  - the first output of every encoder it makes and the first after
//    force_key_frame() is a key frame, and nothing before that key frame is
//    returned (KeyFrameGate);
//  - a failed hardware call or a stream change of the transform may have
//    lost a picture: the same then holds for what follows (output the call
//    had collected before it failed is returned);
//  - the latest SPS and PPS of the active encoder (in its output, or
//    published outside it) are put in front of a key frame that lacks them;
//  - a key frame asked of the hardware and not come within
//    kKeyFrameAnswerWait of frames (or within the 10 calls of the silence
//    rule, when the hardware does make output) rebuilds the hardware
//    encoder, opening on the frame at hand (a new transform starts on a key
//    frame); if the rebuilt one does not answer either, the software takes
//    over until the next retry.
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
#include "encoder/encoder_factory.h"
#include "encoder/h264_encoder.h"

namespace halvorine {

class VideoEncoder final : public H264Encoder {
 public:
  static constexpr std::uint32_t kFailuresBeforeSoftware = 30;
  static constexpr std::uint32_t kLoggedFailuresInARun = 3;
  static constexpr std::uint32_t kSilentCallsBeforeSoftware = 10;
  static constexpr std::chrono::seconds kFirstRetryDelay{60};
  static constexpr std::chrono::seconds kShortRetryDelay{60};  // after the 1st and 2nd failed retry
  static constexpr std::chrono::seconds kLongRetryDelay{300};  // after the 3rd
  static constexpr std::uint32_t kFailedRetriesBeforeGivingUp = 4;
  static constexpr std::chrono::milliseconds kKeyFrameAnswerWait{1000};

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
  // Over any encoders (the request's fps is raised to 1 when 0).
  static Result<VideoEncoder> create(std::unique_ptr<EncoderFactory> factory, Logger& log,
                                     const Clock& clock);

  // A moved-from encoder may only be assigned to or destroyed.
  VideoEncoder(VideoEncoder&&) noexcept;
  VideoEncoder& operator=(VideoEncoder&&) noexcept;
  ~VideoEncoder() override;

  // `bgra`: tightly packed top-down BGRA of width × height. An empty output
  // means nothing for this call (never an empty frame to send).
  EncodeResult encode(std::span<const std::uint8_t> bgra) override;
  EncodeResult encode_changed(std::span<const std::uint8_t> bgra, std::span<const Rect> changed) override;
  // What the active encoder has ready without a new frame, through the same
  // rules; a failure names itself "HW collect output: ...".
  EncodeResult collect_pending_output() override;
  // The next output is a key frame; nothing is returned before it.
  void force_key_frame() override;
  // None: they travel in front of every key frame.
  EncodedFrame parameter_sets() override { return {}; }
  // The active encoder's: the rate to feed it at (30 on hardware, 20 on
  // software at the worker's request).
  FrameSize size() const override;
  std::uint32_t fps() const override;

  bool on_hardware() const;

 private:
  EncodeResult encode_frame(std::span<const std::uint8_t> bgra);
  struct State;
  explicit VideoEncoder(std::unique_ptr<State> state);

  std::unique_ptr<State> state_;
};

}  // namespace halvorine
