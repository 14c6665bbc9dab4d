// The secure-capture loop: follows the input desktop and, while it is the
// secure desktop, captures output 0, encodes it (H.264, 30 fps, 6000 kbit/s)
// and offers every non-empty output to the video channel without blocking.
// Elsewhere it drops its source and encoder and idles. It never gives up:
// every failure is logged and retried on a fixed timer.
//
// States: Idle (not the secure desktop; 200 ms polls), Blocked (secure
// desktop, attach refused; warning at most every 500 ms, 100 ms polls),
// Starting (no source; one attempt per 500 ms, 50 ms polls), Streaming
// (capture paces the loop; a full refresh with a key frame after 700 ms
// without output; a statistics line every second).
//
// Streaming encodes at most one image per frame interval of the encoder's
// own rate (30 fps on hardware, 20 on the software encoder, whose rate
// control is set for that): after an encode the loop
// waits for the next slot before it captures again, while the source merges
// every change of that time into its next image (duplication accumulates
// frames and dirty regions; GDI-only capture paces itself), so the last
// change of a burst is never lost and a change after a quiet moment goes at
// once. While the video channel is full (the GUI does not read, or none is
// connected) nothing is captured or encoded, so the stream the GUI gets loses
// nothing and a GUI that does not read costs no encoding; the next capture
// holds everything that changed meanwhile. A frame the channel refuses all
// the same makes the encoder's next output a key frame.
//
// An exception out of an iteration (a failed allocation for a huge screen)
// drops the source and the encoder and is logged; Starting then builds them
// again on its own timer.
//
// Everything runs on the one thread that calls step(); the clock's sleeps
// block that thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bin/worker/key_frame_request.h"
#include "bin/worker/secure/stream_backend.h"
#include "common/clock.h"
#include "common/log_throttle.h"
#include "common/logger.h"
#include "desktop/desktop_api.h"
#include "desktop/desktop_attachment.h"
#include "encoder/encoded_frame.h"

namespace halvorine {

// The product streams only the desktop of this name (compared byte for byte).
inline constexpr std::string_view kSecureDesktopName = "Winlogon";

inline constexpr std::uint32_t kStreamFps = 30;
inline constexpr std::uint32_t kStreamKbps = 6000;

class SecureCaptureLoop {
 public:
  // Every reference outlives the loop. `secure_desktop` is the name that
  // starts streaming: kSecureDesktopName in the product.
  SecureCaptureLoop(DesktopApi& desktops, StreamBackend& backend, VideoSender frames,
                    KeyFrameRequest& key_frames, Logger& log, const Clock& clock,
                    std::string secure_desktop = std::string(kSecureDesktopName));

  // One iteration, its sleeps included. Never throws.
  void step();

  // For tests and the statistics: whether a source / encoder is held.
  bool streaming() const { return source_ != nullptr && encoder_ != nullptr; }

 private:
  void iterate();
  void recover_from(std::string_view what);
  void leave_secure_desktop();
  void warn_not_attached();
  // Starting: false when this iteration ends here.
  bool start_source();
  // Streaming: one capture and what follows from it.
  void capture_once();
  void encode_image(const ScreenImage& image);
  void collect_pending_output();
  void refresh();
  void log_statistics();

  // Re-creates the encoder when the images no longer have its size; false
  // (after dropping the source, so Starting retries) when that fails.
  bool fit_encoder(std::uint32_t width, std::uint32_t height);
  bool create_encoder(std::uint32_t width, std::uint32_t height);
  // One frame at the active encoder's rate.
  std::chrono::nanoseconds frame_interval() const;
  // An encoder's result: its output offered, its error logged.
  void deliver(EncodeResult encoded);
  void offer(EncodedFrame frame);

  DesktopApi& desktops_;
  StreamBackend& backend_;
  VideoSender frames_;
  KeyFrameRequest& key_frames_;
  Logger& log_;
  const Clock& clock_;
  const std::string secure_desktop_;

  DesktopAttachment desktop_;
  std::unique_ptr<ScreenSource> source_;
  std::unique_ptr<H264Encoder> encoder_;
  std::uint32_t encoder_width_ = 0;
  std::uint32_t encoder_height_ = 0;
  std::uint64_t frame_count_ = 0;
  std::uint64_t frames_sent_ = 0;  // accepted by the channel, ever
  Clock::MonotonicTime stats_start_;
  Clock::MonotonicTime last_source_attempt_;
  Clock::MonotonicTime last_warn_;
  Clock::MonotonicTime last_output_;
  Clock::MonotonicTime next_encode_;  // the earliest time for the next capture
  RepeatThrottle encode_errors_;
  RepeatThrottle exceptions_;
};

}  // namespace halvorine
