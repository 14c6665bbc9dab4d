#include "options.h"

#include <cerrno>
#include <cstdlib>

#include <fmt/format.h>

#include "output_file.h"

namespace halvorine::client {

const char* const kUsage = R"(usage:
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

namespace {

std::optional<long long> parse_count(const char* text) {
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 0) return std::nullopt;
  return value;
}

std::expected<Options::Mode, std::string> parse_mode(const std::string& mode) {
  if (mode == "--help" || mode == "-h") return Options::Mode::help;
  if (mode == "input") return Options::Mode::input;
  if (mode == "video") return Options::Mode::video;
  if (mode == "view") return Options::Mode::view;
  return std::unexpected(fmt::format("unknown mode '{}' (input, video or view)", mode));
}

}  // namespace

std::expected<Options, std::string> parse_options(int argc, char** argv) {
  if (argc < 2) return std::unexpected("missing mode (input, video or view)");
  Options options;
  const auto mode = parse_mode(argv[1]);
  if (!mode) return std::unexpected(mode.error());
  options.mode = *mode;
  if (options.mode == Options::Mode::help) return options;
  const bool view = options.mode == Options::Mode::view;
  const bool video = options.mode == Options::Mode::video;
  if (view) options.retry_ms = 1000;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    auto count = [&](long long& out) -> std::optional<std::string> {
      const char* text = value();
      const auto parsed = text ? parse_count(text) : std::nullopt;
      if (!parsed) return fmt::format("{} needs a non-negative number", arg);
      out = *parsed;
      return std::nullopt;
    };
    std::optional<std::string> problem;
    if (view && (arg == "--pipe" || arg == "--connect-only")) {
      return std::unexpected(fmt::format("{} is not for view (it uses both pipes)", arg));
    } else if (view && arg == "--frames") {
      problem = count(options.frames);
    } else if (arg == "--pipe" || arg == "--pipe-dir" || (video && (arg == "--out" || arg == "--raw-out"))) {
      const char* text = value();
      if (!text) return std::unexpected(fmt::format("{} needs a value", arg));
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
      return std::unexpected(fmt::format("unknown option '{}' for {}", arg, argv[1]));
    }
    if (problem) return std::unexpected(*problem);
  }
  if (options.pipe_dir && !pipes_are_sockets()) {
    return std::unexpected("--pipe-dir is for Linux; use --pipe on Windows");
  }
  return options;
}

}  // namespace halvorine::client
