#include "view/video_stream.h"

#include <algorithm>
#include <cstdio>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "bin/worker/pipe/video_record.h"
#include "common/burst_throttle.h"
#include "common/clock.h"
#include "view/frame_decoder.h"
#include "view/h264_check.h"

namespace halvorine::client {

void StreamMailbox::set_wake(std::function<void()> wake) {
  std::lock_guard lock(mutex_);
  wake_ = std::move(wake);
}

void StreamMailbox::notify(std::unique_lock<std::mutex>& lock) {
  // Called with the lock held, so stop() cannot clear wake_ under it.
  if (wake_) wake_();
  lock.unlock();
}

void StreamMailbox::publish(Picture picture) {
  std::unique_lock lock(mutex_);
  ++counters_.pictures;
  if (newest_) ++counters_.replaced;
  newest_ = std::move(picture);
  notify(lock);
}

void StreamMailbox::count_record(std::size_t bytes) {
  std::lock_guard lock(mutex_);
  ++counters_.records;
  counters_.bytes += bytes;
}

void StreamMailbox::set_state(std::string state) {
  std::unique_lock lock(mutex_);
  if (state_ == state) return;
  state_ = std::move(state);
  notify(lock);
}

std::optional<Picture> StreamMailbox::take_picture() {
  std::lock_guard lock(mutex_);
  return std::exchange(newest_, std::nullopt);
}

std::string StreamMailbox::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

StreamMailbox::Counters StreamMailbox::counters() const {
  std::lock_guard lock(mutex_);
  return counters_;
}

void StreamMailbox::stop() {
  std::lock_guard lock(mutex_);
  stopped_ = true;
  wake_ = nullptr;
  newest_.reset();
  stopping_.notify_all();
}

bool StreamMailbox::stopped() const {
  std::lock_guard lock(mutex_);
  return stopped_;
}

void StreamMailbox::pause(std::chrono::milliseconds duration) {
  std::unique_lock lock(mutex_);
  stopping_.wait_for(lock, duration, [&] { return stopped_; });
}

namespace {

void say(const std::string& line) { std::fprintf(stderr, "halvorine-client: %s\n", line.c_str()); }

std::string describe_open_failure(const OpenError& error) {
  switch (error.failure) {
    case OpenFailure::missing: return "waiting for the worker";
    case OpenFailure::busy: return "video pipe busy (another client is connected)";
    case OpenFailure::access_refused: return "access to the video pipe refused";
    case OpenFailure::untrusted_server: return "refused: the video pipe's server is not the privileged worker";
    case OpenFailure::other: break;
  }
  return "cannot open the video pipe";
}

// Lines about bad records: a stream of them (or a server that sends one per
// connection) must not flood standard error. At most kBadRecordLines a
// second; the rest are counted in the next line that goes out.
class BadRecordLines {
 public:
  void say_bad(const std::string& line) {
    const auto verdict = throttle_.take(clock_.monotonic_now());
    if (verdict.suppressed_before > 0) {
      say(fmt::format("{} more lines about bad records were not shown", verdict.suppressed_before));
    }
    if (verdict.admit) say(line);
  }
  // A connection ended: the count of its lines not shown, now.
  void flush() {
    if (const auto suppressed = throttle_.flush(); suppressed > 0) {
      say(fmt::format("{} more lines about bad records were not shown", suppressed));
    }
  }

 private:
  static constexpr std::uint32_t kBadRecordLines = 3;
  SystemClock clock_;
  BurstThrottle throttle_{kBadRecordLines, std::chrono::seconds(1)};
};

// Serves one connection until it ends; returns the state to show then.
std::string serve_connection(ClientPipe& pipe, StreamMailbox& mailbox, BadRecordLines& lines) {
  auto decoder = create_frame_decoder();
  if (!decoder) {
    say(fmt::format("no H.264 decoder: {}", decoder.error().text()));
    return "no H.264 decoder";
  }
  mailbox.set_state(fmt::format("connected ({})", (*decoder)->name()));
  // Grows to the largest record seen (64 MiB at most).
  std::vector<std::uint8_t> buffer;
  const ReadSome read_some = [&pipe](std::span<std::uint8_t> bytes) { return pipe.read_some(bytes); };
  bool synchronised = false;  // decoding from a key frame on
  std::uint64_t number = 0;
  for (;;) {
    if (mailbox.stopped()) return "stopped";
    const auto record = read_record(read_some, buffer, kMaxVideoRecordBytes, kDecoderPadding);
    if (!record) {
      say(fmt::format("video pipe: {}; reconnecting", record.error().text()));
      return "video pipe failed";
    }
    if (record->kind == VideoRecord::Kind::end) break;
    ++number;
    if (record->kind == VideoRecord::Kind::too_long) {
      lines.say_bad(fmt::format(
          "record {} announces {} bytes, more than the 64 MiB a record may hold: closing the video pipe", number,
          record->length));
      return "bad record: closed";
    }
    const auto arrival = std::chrono::steady_clock::now();
    mailbox.count_record(record->length);
    if (record->length == 0) continue;
    const std::span<const std::uint8_t> payload(buffer.data(), record->length);
    if (const std::string problem = h264_problem(payload); !problem.empty()) {
      lines.say_bad(fmt::format("record {} is not H.264 ({}): closing the video pipe", number, problem));
      return "bad record: closed";
    }
    if (const std::string problem = sequence_problem(payload); !problem.empty()) {
      lines.say_bad(fmt::format("record {} starts a stream the view does not take ({}): closing the video pipe",
                                number, problem));
      return "stream too large: closed";
    }
    if (!synchronised) {
      if (!holds_key_frame(payload)) continue;
      synchronised = true;
    }
    auto decoded = (*decoder)->decode(payload);
    if (!decoded) {
      lines.say_bad(fmt::format("record {} does not decode ({}): dropped, waiting for the next key frame", number,
                                decoded.error().text()));
      synchronised = false;
      (*decoder)->flush();
      continue;
    }
    if (*decoded) {
      (*decoded)->arrival = arrival;
      (*decoded)->decoded = std::chrono::steady_clock::now();
      mailbox.publish(std::move(**decoded));
    }
  }
  if (auto last = (*decoder)->drain()) {
    last->arrival = last->decoded = std::chrono::steady_clock::now();
    mailbox.publish(std::move(*last));
  }
  return "stream ended; reconnecting";
}

void run_stream(const VideoStreamOptions& options, StreamMailbox& mailbox) {
  std::string last_failure;
  BadRecordLines lines;
  while (!mailbox.stopped()) {
    auto pipe = open_client_pipe(options.path, options.check);
    if (!pipe) {
      const std::string state = describe_open_failure(pipe.error());
      // One line per change, not one a second.
      if (state != last_failure) say(fmt::format("{}: {} ({})", options.path, state, pipe.error().detail));
      last_failure = state;
      mailbox.set_state(state);
      mailbox.pause(options.retry);
      continue;
    }
    last_failure.clear();
    mailbox.set_state(serve_connection(**pipe, mailbox, lines));
    lines.flush();
    pipe->reset();
    mailbox.pause(options.retry);
  }
}

}  // namespace

void start_video_stream(VideoStreamOptions options, std::shared_ptr<StreamMailbox> mailbox) {
  std::thread([options = std::move(options), mailbox = std::move(mailbox)] { run_stream(options, *mailbox); })
      .detach();
}

}  // namespace halvorine::client
