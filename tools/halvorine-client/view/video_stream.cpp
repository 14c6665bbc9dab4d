#include "view/video_stream.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>

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

enum class ReadResult { done, clean_end, failed };

ReadResult read_exact(ClientPipe& pipe, std::span<std::uint8_t> buffer, std::string& detail) {
  std::size_t got = 0;
  while (got < buffer.size()) {
    const auto read = pipe.read_some(buffer.subspan(got), detail);
    if (read < 0) return ReadResult::failed;
    if (read == 0) {
      if (got == 0) return ReadResult::clean_end;
      detail = fmt::format("the stream ended inside a record ({} of {} bytes)", got, buffer.size());
      return ReadResult::failed;
    }
    got += static_cast<std::size_t>(read);
  }
  return ReadResult::done;
}

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

// Serves one connection until it ends; returns the state to show then.
std::string serve_connection(ClientPipe& pipe, StreamMailbox& mailbox) {
  auto decoder = create_frame_decoder();
  if (!decoder) {
    say(fmt::format("no H.264 decoder: {}", decoder.error().text()));
    return "no H.264 decoder";
  }
  mailbox.set_state(fmt::format("connected ({})", (*decoder)->name()));
  std::vector<std::uint8_t> record;
  bool synchronised = false;  // decoding from a key frame on
  std::uint64_t number = 0;
  for (;;) {
    if (mailbox.stopped()) return "stopped";
    std::array<std::uint8_t, 4> header{};
    std::string detail;
    ReadResult result = read_exact(pipe, header, detail);
    if (result == ReadResult::clean_end) break;
    if (result == ReadResult::failed) {
      say(fmt::format("video pipe: {}; reconnecting", detail));
      return "video pipe failed";
    }
    const std::uint32_t length = header[0] | header[1] << 8 | header[2] << 16 |
                                 static_cast<std::uint32_t>(header[3]) << 24;
    ++number;
    if (length > kMaxRecordBytes) {
      say(fmt::format("record {} announces {} bytes, more than the 64 MiB a record may hold: closing the video pipe",
                      number, length));
      return "bad record: closed";
    }
    // Grows to the largest record seen (64 MiB at most); only the padding
    // is cleared each time.
    if (record.size() < length + kDecoderPadding) record.resize(length + kDecoderPadding);
    std::fill_n(record.begin() + length, kDecoderPadding, std::uint8_t{0});
    const std::span<std::uint8_t> payload(record.data(), length);
    result = read_exact(pipe, payload, detail);
    if (result != ReadResult::done && length > 0) {
      say(fmt::format("video pipe: {}; reconnecting",
                      result == ReadResult::clean_end ? "the stream ended after a record's length field" : detail));
      return "video pipe failed";
    }
    const auto arrival = std::chrono::steady_clock::now();
    mailbox.count_record(length);
    if (length == 0) continue;
    if (const std::string problem = h264_problem(payload); !problem.empty()) {
      say(fmt::format("record {} is not H.264 ({}): closing the video pipe", number, problem));
      return "bad record: closed";
    }
    if (!synchronised) {
      if (!holds_key_frame(payload)) continue;
      synchronised = true;
    }
    auto decoded = (*decoder)->decode(payload);
    if (!decoded) {
      say(fmt::format("record {} does not decode ({}): dropped, waiting for the next key frame", number,
                      decoded.error().text()));
      synchronised = false;
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
    mailbox.set_state(serve_connection(**pipe, mailbox));
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
