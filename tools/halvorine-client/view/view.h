// `halvorine-client view`: the secure-video stream in a window, the window's
// mouse and keyboard sent to the input pipe.
#pragma once

#include <chrono>
#include <string>

#include "client_pipe.h"

namespace halvorine::client {

struct ViewOptions {
  std::string input_path;
  std::string video_path;
  ServerCheck check = ServerCheck::worker_only;
  std::chrono::milliseconds retry{1000};  // between attempts to reach a pipe
  long long pictures = -1;                // end after showing this many (benches, tests)
};

// Runs until the window is closed; the process's exit status.
int run_view(const ViewOptions& options);

}  // namespace halvorine::client
