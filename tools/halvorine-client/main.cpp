// halvorine-client: the reference GUI-side client of the worker's two pipes.
// Sends input messages and records the secure-video stream; see README.md.
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "bin/worker/pipe/pipe_api.h"
#include "client_pipe.h"
#include "input_messages.h"
#include "view/view.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

using namespace halvorine;
using namespace halvorine::client;
using Clock = std::chrono::steady_clock;

namespace {

enum ExitCode {
  kOk = 0,
  kIoError = 1,
  kBadArguments = 2,
  kMissing = 3,
  kRefused = 4,
  kBusy = 5,
  kUntrustedServer = 6
};

constexpr const char* kUsage = R"(usage:
  halvorine-client input [options] [MESSAGE ...]
  halvorine-client video [options]
  halvorine-client view [options]

MESSAGE (one per argument, or one per line on standard input when none is given):
  key NAME down|up
  mouse X Y [button=N] [down|up] [scroll=N] [unused=N]
  hex BYTES...             raw bytes, e.g. "hex 02 00 00 41"
  sleep MS                 pause before the next message

common options:
  --pipe PATH              the pipe to open (default: the worker's pipe)
  --pipe-dir DIR           Linux: the directory of the pipe sockets
  --retry-ms N             retry a missing or busy pipe for up to N ms (default 0)
  --no-server-check        talk to a server that is not the privileged worker (tests only)
input options:
  --connect-only           connect and close at once; send nothing
  --hold-ms N              keep the connection open N ms after the last message
  --chunk N                write in pieces of N bytes (1: byte by byte)
video options:
  --out FILE               write the frames as an Annex-B stream ('-': standard output)
  --raw-out FILE           write the stream exactly as received, length fields included
  --frames N               stop after N frames
  --duration-ms N          stop after N ms
  --connect-only           connect and close at once
view options (the stream in a window; its mouse and keys go to the input pipe):
  --retry-ms N             the pause between attempts to reach a pipe (default 1000)
  --frames N               end after showing N pictures

exit status: 0 done, 1 I/O error, 2 bad arguments, 3 pipe missing, 4 access refused, 5 pipe busy,
             6 the server is not the privileged worker
)";

struct Options {
  std::string mode;
  std::optional<std::string> pipe;
  std::optional<std::string> pipe_dir;
  long long retry_ms = 0;
  bool server_check = true;
  bool connect_only = false;
  long long hold_ms = 0;
  long long chunk = 0;
  std::optional<std::string> out;
  std::optional<std::string> raw_out;
  long long frames = -1;
  long long duration_ms = -1;
  std::vector<std::string> messages;
};

int bad_arguments(const std::string& why) {
  std::fprintf(stderr, "halvorine-client: %s\n%s", why.c_str(), kUsage);
  return kBadArguments;
}

bool parse_count(const char* text, long long& out) {
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 0) return false;
  out = value;
  return true;
}

std::optional<std::string> parse_options(int argc, char** argv, Options& options) {
  if (argc < 2) return "missing mode (input, video or view)";
  options.mode = argv[1];
  if (options.mode == "--help" || options.mode == "-h") return "";
  if (options.mode != "input" && options.mode != "video" && options.mode != "view") {
    return fmt::format("unknown mode '{}' (input, video or view)", options.mode);
  }
  const bool view = options.mode == "view";
  const bool video = options.mode == "video";
  if (view) options.retry_ms = 1000;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    auto count = [&](long long& out) -> std::optional<std::string> {
      const char* text = value();
      if (!text || !parse_count(text, out)) return fmt::format("{} needs a non-negative number", arg);
      return std::nullopt;
    };
    std::optional<std::string> problem;
    if (view && (arg == "--pipe" || arg == "--connect-only")) {
      return fmt::format("{} is not for view (it uses both pipes)", arg);
    } else if (view && arg == "--frames") {
      problem = count(options.frames);
    } else if (arg == "--pipe" || arg == "--pipe-dir" || (video && (arg == "--out" || arg == "--raw-out"))) {
      const char* text = value();
      if (!text) return fmt::format("{} needs a value", arg);
      (arg == "--pipe" ? options.pipe : arg == "--pipe-dir" ? options.pipe_dir
                                      : arg == "--out"      ? options.out
                                                            : options.raw_out) = text;
    } else if (arg == "--retry-ms") {
      problem = count(options.retry_ms);
    } else if (arg == "--connect-only") {
      options.connect_only = true;
    } else if (arg == "--no-server-check") {
      options.server_check = false;
    } else if (!video && arg == "--hold-ms") {
      problem = count(options.hold_ms);
    } else if (!video && arg == "--chunk") {
      problem = count(options.chunk);
      if (!problem && options.chunk == 0) problem = "--chunk needs a positive number";
    } else if (video && arg == "--frames") {
      problem = count(options.frames);
    } else if (video && arg == "--duration-ms") {
      problem = count(options.duration_ms);
    } else if (!video && !arg.starts_with("--")) {
      options.messages.push_back(arg);
    } else {
      return fmt::format("unknown option '{}' for {}", arg, options.mode);
    }
    if (problem) return problem;
  }
  return std::nullopt;
}

std::string resolve_path(const Options& options, std::string_view name) {
  if (options.pipe) return *options.pipe;
  if (options.pipe_dir) return fmt::format("{}/{}", *options.pipe_dir, name);
  return pipe_path(name);
}

std::expected<std::unique_ptr<ClientPipe>, int> connect(const Options& options) {
  const std::string path = resolve_path(options, options.mode == "input" ? kInputPipeName : kVideoPipeName);
  const auto deadline = Clock::now() + std::chrono::milliseconds(options.retry_ms);
  for (;;) {
    auto pipe = open_client_pipe(path, options.server_check ? ServerCheck::worker_only : ServerCheck::any);
    if (pipe) return std::move(*pipe);
    const OpenError& error = pipe.error();
    const bool retryable = error.failure == OpenFailure::missing || error.failure == OpenFailure::busy;
    if (retryable && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    switch (error.failure) {
      case OpenFailure::missing:
        std::fprintf(stderr, "halvorine-client: pipe %s not found (is the worker running?): %s\n",
                     path.c_str(), error.detail.c_str());
        return std::unexpected(kMissing);
      case OpenFailure::access_refused:
        std::fprintf(stderr, "halvorine-client: access to pipe %s refused: %s\n", path.c_str(),
                     error.detail.c_str());
        return std::unexpected(kRefused);
      case OpenFailure::busy:
        std::fprintf(stderr, "halvorine-client: pipe %s is busy (another client is connected): %s\n",
                     path.c_str(), error.detail.c_str());
        return std::unexpected(kBusy);
      case OpenFailure::untrusted_server:
        std::fprintf(stderr,
                     "halvorine-client: refusing pipe %s: its server is not the privileged worker: %s "
                     "(--no-server-check skips this check, for tests)\n",
                     path.c_str(), error.detail.c_str());
        return std::unexpected(kUntrustedServer);
      case OpenFailure::other:
        break;
    }
    std::fprintf(stderr, "halvorine-client: cannot open pipe %s: %s\n", path.c_str(),
                 error.detail.c_str());
    return std::unexpected(kIoError);
  }
}

int send_message(ClientPipe& pipe, const ClientMessage& message, long long chunk) {
  if (message.pause.count() > 0) std::this_thread::sleep_for(message.pause);
  std::span<const std::uint8_t> bytes(message.bytes);
  while (!bytes.empty()) {
    const std::size_t size = chunk > 0 ? std::min<std::size_t>(bytes.size(), chunk) : bytes.size();
    std::string detail;
    if (!pipe.write_all(bytes.first(size), detail)) {
      std::fprintf(stderr, "halvorine-client: write failed: %s\n", detail.c_str());
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

// Reads exactly buffer.size() bytes: 1 done, 0 clean end before any byte, -1 error or cut record.
int read_exact(ClientPipe& pipe, std::span<std::uint8_t> buffer, std::string& detail) {
  std::size_t got = 0;
  while (got < buffer.size()) {
    const auto read = pipe.read_some(buffer.subspan(got), detail);
    if (read < 0) return -1;
    if (read == 0) {
      if (got == 0) return 0;
      detail = fmt::format("stream ended inside a record ({} of {} bytes)", got, buffer.size());
      return -1;
    }
    got += static_cast<std::size_t>(read);
  }
  return 1;
}

std::FILE* open_output(const std::optional<std::string>& path) {
  if (!path) return nullptr;
  if (*path == "-") {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    return stdout;
  }
  return std::fopen(path->c_str(), "wb");
}

int run_video(const Options& options) {
  std::FILE* out = open_output(options.out);
  std::FILE* raw = open_output(options.raw_out);
  if ((options.out && !out) || (options.raw_out && !raw)) {
    std::fprintf(stderr, "halvorine-client: cannot open output file: %s\n", std::strerror(errno));
    return kIoError;
  }
  auto pipe = connect(options);
  if (!pipe) return pipe.error();
  const auto start = Clock::now();
  long long frames = 0, bytes = 0;
  int status = kOk;
  std::vector<std::uint8_t> frame;
  while (!options.connect_only && (options.frames < 0 || frames < options.frames)) {
    if (options.duration_ms >= 0 &&
        Clock::now() - start >= std::chrono::milliseconds(options.duration_ms)) {
      break;
    }
    std::array<std::uint8_t, 4> header{};
    std::string detail;
    int read = read_exact(**pipe, header, detail);
    if (read == 0) break;  // the worker closed the stream between records
    if (read > 0) {
      const std::uint32_t length = header[0] | header[1] << 8 | header[2] << 16 |
                                   static_cast<std::uint32_t>(header[3]) << 24;
      frame.resize(length);
      read = read_exact(**pipe, frame, detail);
      if (read == 0 && length > 0) {
        detail = "stream ended after a record's length field";
        read = -1;
      }
    }
    if (read < 0) {
      std::fprintf(stderr, "halvorine-client: read failed: %s\n", detail.c_str());
      status = kIoError;
      break;
    }
    if (raw) {
      std::fwrite(header.data(), 1, header.size(), raw);
      std::fwrite(frame.data(), 1, frame.size(), raw);
    }
    if (out) std::fwrite(frame.data(), 1, frame.size(), out);
    ++frames;
    bytes += static_cast<long long>(frame.size());
  }
  if (out && out != stdout) std::fclose(out);
  if (raw && raw != stdout) std::fclose(raw);
  if (out == stdout || raw == stdout) std::fflush(stdout);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::fprintf(stderr, "frames=%lld bytes=%lld seconds=%.3f fps=%.2f kbps=%.1f\n", frames, bytes,
               seconds, seconds > 0 ? frames / seconds : 0.0,
               seconds > 0 ? bytes * 8.0 / 1000.0 / seconds : 0.0);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (auto problem = parse_options(argc, argv, options)) {
    if (problem->empty()) {
      std::fputs(kUsage, stdout);
      return kOk;
    }
    return bad_arguments(*problem);
  }
#ifdef _WIN32
  if (options.pipe_dir) return bad_arguments("--pipe-dir is for Linux; use --pipe on Windows");
#endif
  if (options.mode == "view") {
    ViewOptions view;
    view.input_path = resolve_path(options, kInputPipeName);
    view.video_path = resolve_path(options, kVideoPipeName);
    view.check = options.server_check ? ServerCheck::worker_only : ServerCheck::any;
    view.retry = std::chrono::milliseconds(std::max(options.retry_ms, 10LL));
    view.pictures = options.frames;
    return run_view(view);
  }
  return options.mode == "input" ? run_input(options) : run_video(options);
}
