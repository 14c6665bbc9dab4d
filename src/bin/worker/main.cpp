// halvorine-worker: the privileged helper that replays remote input and
// streams the secure desktop to the product's GUI. No options, no
// configuration; it runs until it is terminated from outside.
#include <asio/io_context.hpp>
#include <exception>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "bin/worker/inject/injection_thread.h"
#include "bin/worker/key_frame_request.h"
#include "bin/worker/pipe/pipe_tasks.h"
#include "bin/worker/process/process_platform.h"
#include "bin/worker/secure/secure_capture_loop.h"
#include "bin/worker/secure/secure_capture_thread.h"
#include "bin/worker/worker.h"
#include "common/clock.h"
#include "common/worker_log.h"

using namespace halvorine;

namespace {

#ifdef HALVORINE_TEST_SECURE_DESKTOP
// Only the test-only worker target defines this (see CMakeLists.txt).
constexpr std::string_view kStreamedDesktop = HALVORINE_TEST_SECURE_DESKTOP;
#else
constexpr std::string_view kStreamedDesktop = kSecureDesktopName;
#endif

}  // namespace

int main() {
  const SystemClock clock;
  WorkerLog log(clock);
  // The video writer's key-frame requests to the secure-capture thread.
  KeyFrameRequest key_frames;

  std::optional<asio::io_context> runtime;
  try {
    runtime.emplace(1);
  } catch (const std::exception& error) {
    fatal_stop(fmt::format("Failed building the Runtime: {}", error.what()));
  }

  WorkerTasks tasks{
      .secure_capture_thread = [&key_frames, &log, &clock](VideoSender frames) {
        run_secure_capture_thread(std::move(frames), key_frames, log, clock, std::string(kStreamedDesktop));
      },
      .injection_thread = [&log, &clock](InputReceiver receiver) { run_injection_thread(std::move(receiver), log, clock); },
      .serve_input_pipe = [&log](InputSender sender) { return run_input_pipe_server(log, std::move(sender)); },
      .serve_video_pipe = [&log, &key_frames](VideoReceiver frames) {
        return run_video_pipe_server(log, std::move(frames), key_frames);
      },
  };

  const auto platform = make_process_platform();
  if (auto result = run_worker(*runtime, *platform, log, std::move(tasks)); !result) {
    fatal_stop(result.error().text());
  }
  return 0;
}
