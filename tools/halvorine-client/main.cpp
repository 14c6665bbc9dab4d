// halvorine-client: the reference GUI-side client of the worker's two pipes.
// Sends input messages, records the secure-video stream, or shows it in a
// window; see README.md.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "bin/worker/pipe/pipe_api.h"
#include "bin/worker/pipe/video_record.h"
#include "client_pipe.h"
#include "input_messages.h"
#include "options.h"
#include "output_file.h"
#include "view/view.h"

using namespace halvorine;
using namespace halvorine::client;
using Clock = std::chrono::steady_clock;

namespace {

int bad_arguments(const std::string& why) {
  std::fprintf(stderr, "halvorine-client: %s\n%s", why.c_str(), kUsage);
  return kBadArguments;
}

std::string resolve_path(const Options& options, std::string_view name) {
  if (options.pipe) return *options.pipe;
  if (options.pipe_dir) return fmt::format("{}/{}", *options.pipe_dir, name);
  return pipe_path(name);
}

// The exit status and the line for a pipe that cannot be opened.
int report_open_failure(const std::string& path, const OpenError& error) {
  switch (error.failure) {
    case OpenFailure::missing:
      std::fprintf(stderr, "halvorine-client: pipe %s not found (is the worker running?): %s\n", path.c_str(),
                   error.detail.c_str());
      return kMissing;
    case OpenFailure::access_refused:
      std::fprintf(stderr, "halvorine-client: access to pipe %s refused: %s\n", path.c_str(), error.detail.c_str());
      return kRefused;
    case OpenFailure::busy:
      std::fprintf(stderr, "halvorine-client: pipe %s is busy (another client is connected): %s\n", path.c_str(),
                   error.detail.c_str());
      return kBusy;
    case OpenFailure::untrusted_server:
      std::fprintf(stderr,
                   "halvorine-client: refusing pipe %s: its server is not the privileged worker: %s "
                   "(--no-server-check skips this check, for tests)\n",
                   path.c_str(), error.detail.c_str());
      return kUntrustedServer;
    case OpenFailure::other:
      break;
  }
  std::fprintf(stderr, "halvorine-client: cannot open pipe %s: %s\n", path.c_str(), error.detail.c_str());
  return kIoError;
}

std::expected<std::unique_ptr<ClientPipe>, int> connect(const Options& options) {
  const std::string path =
      resolve_path(options, options.mode == Options::Mode::input ? kInputPipeName : kVideoPipeName);
  const auto deadline = Clock::now() + std::chrono::milliseconds(options.retry_ms);
  for (;;) {
    auto pipe = open_client_pipe(path, options.server_check ? ServerCheck::worker_only : ServerCheck::any);
    if (pipe) return std::move(*pipe);
    const OpenFailure failure = pipe.error().failure;
    const bool retryable = failure == OpenFailure::missing || failure == OpenFailure::busy;
    if (!retryable || Clock::now() >= deadline) return std::unexpected(report_open_failure(path, pipe.error()));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int send_message(ClientPipe& pipe, const ClientMessage& message, long long chunk) {
  if (message.pause.count() > 0) std::this_thread::sleep_for(message.pause);
  std::span<const std::uint8_t> bytes(message.bytes);
  while (!bytes.empty()) {
    const std::size_t size = chunk > 0 ? std::min<std::size_t>(bytes.size(), chunk) : bytes.size();
    if (auto written = pipe.write_all(bytes.first(size)); !written) {
      std::fprintf(stderr, "halvorine-client: write failed: %s\n", written.error().text().c_str());
      return kIoError;
    }
    bytes = bytes.subspan(size);
  }
  return kOk;
}

int run_input(const Options& options) {
  // Check every message before connecting, so a typo sends nothing.
  std::vector<ClientMessage> parsed;
  for (const auto& text : options.messages) {
    auto message = parse_client_message(text);
    if (!message) return bad_arguments(fmt::format("'{}': {}", text, message.error()));
    parsed.push_back(std::move(*message));
  }
  auto pipe = connect(options);
  if (!pipe) return pipe.error();
  if (options.connect_only) return kOk;
  if (options.messages.empty()) {
    std::string line;
    int line_number = 0;
    while (std::getline(std::cin, line)) {
      ++line_number;
      const auto first = line.find_first_not_of(" \t\r");
      if (first == std::string::npos || line[first] == '#') continue;
      auto message = parse_client_message(line);
      if (!message) {
        // Stdin is a session: report the line and go on with the next.
        std::fprintf(stderr, "halvorine-client: line %d: %s\n", line_number, message.error().c_str());
        continue;
      }
      if (const int status = send_message(**pipe, *message, options.chunk); status != kOk) return status;
    }
  } else {
    for (const auto& message : parsed) {
      if (const int status = send_message(**pipe, message, options.chunk); status != kOk) return status;
    }
  }
  if (options.hold_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options.hold_ms));
  return kOk;
}

std::expected<std::optional<OutputFile>, int> open_output(const std::optional<std::string>& path) {
  if (!path) return std::nullopt;
  auto file = OutputFile::open(*path);
  if (!file) {
    std::fprintf(stderr, "halvorine-client: cannot open output file: %s\n", file.error().text().c_str());
    return std::unexpected(kIoError);
  }
  return std::move(*file);
}

int run_video(const Options& options) {
  auto out = open_output(options.out);
  if (!out) return out.error();
  auto raw = open_output(options.raw_out);
  if (!raw) return raw.error();
  auto pipe = connect(options);
  if (!pipe) return pipe.error();
  const auto start = Clock::now();
  long long frames = 0, bytes = 0;
  int status = kOk;
  std::vector<std::uint8_t> frame;
  const ReadSome read_some = [&pipe](std::span<std::uint8_t> buffer) { return (*pipe)->read_some(buffer); };
  while (!options.connect_only && (options.frames < 0 || frames < options.frames)) {
    if (options.duration_ms >= 0 && Clock::now() - start >= std::chrono::milliseconds(options.duration_ms)) break;
    auto record = read_record(read_some, frame, kMaxVideoRecordBytes);
    if (!record) {
      std::fprintf(stderr, "halvorine-client: read failed: %s\n", record.error().text().c_str());
      status = kIoError;
      break;
    }
    if (record->kind == VideoRecord::Kind::end) break;  // the worker closed the stream between records
    if (record->kind == VideoRecord::Kind::too_long) {
      std::fprintf(stderr, "halvorine-client: read failed: a record announces %u bytes, more than the 64 MiB a "
                   "record may hold\n", record->length);
      status = kIoError;
      break;
    }
    const std::span<const std::uint8_t> payload(frame.data(), record->length);
    Result<void> written;
    if (*raw) {
      written = (*raw)->write(video_record_header(payload.size()));
      if (written) written = (*raw)->write(payload);
    }
    if (written && *out) written = (*out)->write(payload);
    if (!written) {
      std::fprintf(stderr, "halvorine-client: cannot write the output: %s\n", written.error().text().c_str());
      status = kIoError;
      break;
    }
    ++frames;
    bytes += static_cast<long long>(payload.size());
  }
  out->reset();
  raw->reset();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::fprintf(stderr, "frames=%lld bytes=%lld seconds=%.3f fps=%.2f kbps=%.1f\n", frames, bytes, seconds,
               seconds > 0 ? frames / seconds : 0.0, seconds > 0 ? bytes * 8.0 / 1000.0 / seconds : 0.0);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = parse_options(argc, argv);
  if (!options) return bad_arguments(options.error());
  switch (options->mode) {
    case Options::Mode::help:
      std::fputs(kUsage, stdout);
      return kOk;
    case Options::Mode::input:
      return run_input(*options);
    case Options::Mode::video:
      return run_video(*options);
    case Options::Mode::view:
      break;
  }
  ViewOptions view;
  view.input_path = resolve_path(*options, kInputPipeName);
  view.video_path = resolve_path(*options, kVideoPipeName);
  view.check = options->server_check ? ServerCheck::worker_only : ServerCheck::any;
  view.retry = std::chrono::milliseconds(std::max(options->retry_ms, 10LL));
  view.pictures = options->frames;
  return run_view(view);
}
