// halvorine-client's command line: its modes, options and exit statuses
// (README.md documents them; tests of other parts drive them).
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace halvorine::client {

enum ExitCode {
  kOk = 0,
  kIoError = 1,
  kBadArguments = 2,
  kMissing = 3,
  kRefused = 4,
  kBusy = 5,
  kUntrustedServer = 6
};

extern const char* const kUsage;

struct Options {
  enum class Mode { help, input, video, view };
  Mode mode = Mode::help;
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

// The options of `argv`, or what is wrong with them.
std::expected<Options, std::string> parse_options(int argc, char** argv);

}  // namespace halvorine::client
