#include "bin/worker/secure/secure_capture_loop.h"

#include <fmt/format.h>

#include <algorithm>
#include <exception>

namespace halvorine {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kIdlePoll{200};
constexpr milliseconds kBlockedPoll{100};
constexpr milliseconds kWarnInterval{500};
constexpr milliseconds kSourceAttemptInterval{500};
constexpr milliseconds kStartingPoll{50};
constexpr milliseconds kSourceFailurePause{100};
constexpr milliseconds kEncoderFailurePause{200};
constexpr milliseconds kRefreshAfter{700};
constexpr std::uint32_t kCaptureTimeoutMs = 100;
constexpr int kRefreshEncodeAttempts = 5;
constexpr milliseconds kRoomPoll{5};
// What a capture takes in GDI-only mode, where the source paces itself.
constexpr std::chrono::nanoseconds kSelfPacedCapture{1'000'000'000 / kStreamFps};
constexpr std::uint32_t kOutputIndex = 0;

// Whole milliseconds from `since` to `now`; zero if the clock went back.
milliseconds elapsed(Clock::MonotonicTime since, Clock::MonotonicTime now) {
  if (now <= since) return milliseconds::zero();
  return std::chrono::duration_cast<milliseconds>(now - since);
}

}  // namespace

SecureCaptureLoop::SecureCaptureLoop(DesktopApi& desktops, StreamBackend& backend, VideoSender frames,
                                     KeyFrameRequest& key_frames, Logger& log, const Clock& clock,
                                     std::string secure_desktop)
    : desktops_(desktops),
      backend_(backend),
      frames_(std::move(frames)),
      key_frames_(key_frames),
      log_(log),
      clock_(clock),
      secure_desktop_(std::move(secure_desktop)) {
  const Clock::MonotonicTime start = clock_.monotonic_now();
  stats_start_ = start;
  // Half a second in the past: a secure desktop seen at start gets its
  // source in the first iteration.
  last_source_attempt_ = start - kSourceAttemptInterval;
  last_warn_ = start - kWarnInterval;
  last_output_ = start;
  next_encode_ = start;
}

void SecureCaptureLoop::step() {
  // The loop outlives anything one iteration runs into: the worker's input
  // injection shares its process.
  try {
    iterate();
  } catch (const std::exception& e) {
    recover_from(e.what());
  } catch (...) {
    recover_from("unknown");
  }
}

void SecureCaptureLoop::recover_from(std::string_view what) {
  if (exceptions_.admit(what, clock_.monotonic_now())) {
    log_.log(fmt::format("secure-capture: eroare neasteptata ({}) — reinitializez captura si encoderul", what));
  }
  source_.reset();
  encoder_.reset();
  encoder_width_ = encoder_height_ = 0;
  frame_count_ = 0;
}

void SecureCaptureLoop::iterate() {
  const DesktopAttachment::Followed desktop = desktop_.follow(desktops_);
  if (!desktop.name || *desktop.name != secure_desktop_) {
    leave_secure_desktop();
    clock_.sleep_for(kIdlePoll);
    return;
  }
  if (!desktop.attached) {
    warn_not_attached();
    clock_.sleep_for(kBlockedPoll);
    return;
  }
  if (!source_ && !start_source()) return;
  if (streaming()) capture_once();
  log_statistics();
}

void SecureCaptureLoop::leave_secure_desktop() {
  if (source_) {
    source_.reset();
    log_.log("secure-capture: stop");
    frame_count_ = 0;
  }
  if (encoder_) {
    encoder_.reset();
    log_.log("secure-stream: stop");
    encoder_width_ = encoder_height_ = 0;
  }
}

void SecureCaptureLoop::warn_not_attached() {
  const Clock::MonotonicTime now = clock_.monotonic_now();
  if (elapsed(last_warn_, now) < kWarnInterval) return;
  last_warn_ = now;
  log_.log("secure-capture: pe Winlogon dar SetThreadDesktop a esuat (privilegii?)");
}

bool SecureCaptureLoop::start_source() {
  const Clock::MonotonicTime now = clock_.monotonic_now();
  if (elapsed(last_source_attempt_, now) < kSourceAttemptInterval) {
    clock_.sleep_for(kStartingPoll);
    return false;
  }
  last_source_attempt_ = now;
  auto created = backend_.create_source(kOutputIndex);
  if (!created) {
    log_.log(fmt::format("secure-capture: DesktopDuplicator::new(0) esuat pe Winlogon: {}",
                         created.error().text()));
    clock_.sleep_for(kSourceFailurePause);
    return false;
  }
  std::unique_ptr<ScreenSource> source = std::move(*created);
  const std::uint32_t width = source->width();
  const std::uint32_t height = source->height();
  log_.log(fmt::format("secure-capture: DesktopDuplicator pornit pe Winlogon ({}x{})", width, height));
  // An encoder of the same size survives a rebuilt source.
  if (!encoder_ || encoder_width_ != width || encoder_height_ != height) {
    if (!create_encoder(width, height)) {
      clock_.sleep_for(kEncoderFailurePause);
      return false;  // the new source goes; an older encoder stays
    }
  }
  source_ = std::move(source);
  frame_count_ = 0;
  stats_start_ = clock_.monotonic_now();
  last_output_ = stats_start_;
  return true;
}

bool SecureCaptureLoop::create_encoder(std::uint32_t width, std::uint32_t height) {
  auto created = backend_.create_encoder(width, height, kStreamFps, kStreamKbps);
  if (!created) {
    log_.log(fmt::format("secure-stream: encoder init esuat: {}", created.error().text()));
    return false;
  }
  encoder_ = std::move(*created);  // the old encoder goes
  encoder_width_ = width;
  encoder_height_ = height;
  log_.log(fmt::format("secure-stream: encoder pornit {}x{} {}fps {}kbps", width, height, kStreamFps,
                       kStreamKbps));
  return true;
}

bool SecureCaptureLoop::fit_encoder(std::uint32_t width, std::uint32_t height) {
  if (width == encoder_width_ && height == encoder_height_) return true;
  // The source's size changed under it (GDI-only mode follows the screen):
  // an encoder of the old size would refuse every frame from now on.
  if (create_encoder(width, height)) return true;
  clock_.sleep_for(kEncoderFailurePause);
  source_.reset();  // Starting builds both again, at its own pace
  return false;
}

std::chrono::nanoseconds SecureCaptureLoop::frame_interval() const {
  return std::chrono::nanoseconds(1'000'000'000) / std::max<std::uint32_t>(encoder_->fps(), 1);
}

void SecureCaptureLoop::offer(EncodedFrame frame) {
  if (frames_.try_send(std::move(frame)) == TrySendResult::sent) {
    ++frames_sent_;
  } else {
    // The GUI will never see this frame: what the encoder makes next must
    // not depend on it.
    encoder_->force_key_frame();
  }
  ++frame_count_;  // counted as encoded also when the channel dropped it
}

void SecureCaptureLoop::capture_once() {
  // The GUI is behind (or absent): a frame encoded now would be lost. Wait
  // for room, for at most a capture's wait so the desktop is still followed;
  // what changes meanwhile is in the next capture.
  if (!frames_.has_room()) {
    for (milliseconds waited{0}; waited < milliseconds(kCaptureTimeoutMs) && !frames_.has_room();
         waited += kRoomPoll) {
      clock_.sleep_for(kRoomPoll);
    }
    return;
  }
  // Paced: the source merges what changes until the slot into one image. A
  // source that paces itself needs only what the encoder's rate adds.
  const Clock::MonotonicTime now = clock_.monotonic_now();
  const Clock::MonotonicTime slot =
      next_encode_ - (source_->paces_itself() ? kSelfPacedCapture : std::chrono::nanoseconds(0));
  if (now < slot) clock_.sleep_for(slot - now);
  auto captured = source_->capture(kCaptureTimeoutMs);
  if (!captured) {
    log_.log(fmt::format("secure-capture: capture err ({}) — reinitializez", captured.error().text()));
    source_.reset();  // the encoder stays for the rebuilt source
    return;
  }
  const std::optional<ScreenImage>& image = *captured;
  // A pointer-only update (no pixels, or no changed region) is nothing new.
  if (image && !image->pixels.empty() && !image->changed.empty()) {
    encode_image(*image);
    return;
  }
  collect_pending_output();
  refresh();
}

void SecureCaptureLoop::encode_image(const ScreenImage& image) {
  if (!fit_encoder(image.width, image.height)) return;
  next_encode_ = clock_.monotonic_now() + frame_interval();
  if (key_frames_.take(frames_sent_)) encoder_->force_key_frame();
  deliver(encoder_->encode_changed(image.pixels, image.changed));
}

void SecureCaptureLoop::collect_pending_output() { deliver(encoder_->collect_pending_output()); }

void SecureCaptureLoop::deliver(EncodeResult encoded) {
  if (!encoded) {
    // The same error tends to repeat on every frame.
    encode_errors_.write(log_, clock_, fmt::format("secure-stream: encode err: {}", encoded.error().text()));
  }
  if (encoded->empty()) return;
  offer(std::move(*encoded));
  last_output_ = clock_.monotonic_now();
}

void SecureCaptureLoop::refresh() {
  // A new GUI on a still screen gets its key frame now, not after 700 ms.
  if (elapsed(last_output_, clock_.monotonic_now()) < kRefreshAfter && !key_frames_.pending()) return;
  // A change that came since the last capture goes first: it is what the
  // user waits for, and a key frame would only hold it back. (A source that
  // paces itself captures the whole screen every time: it has nothing more.)
  if (!source_->paces_itself()) {
    auto captured = source_->capture(0);
    if (!captured) {
      log_.log(fmt::format("secure-capture: capture err ({}) — reinitializez", captured.error().text()));
      source_.reset();
      return;
    }
    if (*captured && !(*captured)->pixels.empty() && !(*captured)->changed.empty()) {
      encode_image(**captured);
      return;
    }
  }
  std::optional<std::vector<std::uint8_t>> full = source_->capture_full();
  if (!full) return;  // tried again next iteration
  if (!fit_encoder(source_->width(), source_->height())) return;
  encoder_->force_key_frame();
  key_frames_.take(frames_sent_);  // this key frame answers a pending request too
  for (int attempt = 0; attempt < kRefreshEncodeAttempts; ++attempt) {
    EncodeResult encoded = encoder_->encode(*full);
    const bool output = !encoded->empty();
    if (output) offer(std::move(*encoded));
    if (!encoded) {
      log_.log(fmt::format("secure-stream: gdi encode err: {}", encoded.error().text()));
      break;
    }
    if (output) break;
  }
  // The pacing slot stays where the last change put it: a change right
  // after a refresh goes at once (a refresh comes at most every 700 ms).
  last_output_ = clock_.monotonic_now();
}

void SecureCaptureLoop::log_statistics() {
  const Clock::MonotonicTime now = clock_.monotonic_now();
  if (std::chrono::duration_cast<std::chrono::seconds>(elapsed(stats_start_, now)).count() < 1) return;
  const std::uint32_t width = source_ ? source_->width() : 0;
  const std::uint32_t height = source_ ? source_->height() : 0;
  log_.log(fmt::format("secure-capture: {} frames encodate+trimise, {}x{}", frame_count_, width, height));
  frame_count_ = 0;
  stats_start_ = now;
}

}  // namespace halvorine
