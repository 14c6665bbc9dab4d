// halvorine-worker: the privileged helper that replays remote input and
// streams the secure desktop to the product's GUI. No options, no
// configuration; it runs until it is terminated from outside (SIGTERM and
// SIGINT on Linux, console control events on Windows stop it in order: see
// worker_stop.h).
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <cstdlib>
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
#include "bin/worker/serving_latch.h"
#include "bin/worker/worker.h"
#include "bin/worker/worker_stop.h"
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
  // The detached threads use the log, the clock and the key-frame request
  // until the process ends, which is after main has returned and static
  // destructors have run: they are created once and never destroyed.
  static const SystemClock& clock = *new SystemClock;
  static WorkerLog& log = *new WorkerLog(clock);
  // The video writer's key-frame requests to the secure-capture thread.
  static KeyFrameRequest& key_frames = *new KeyFrameRequest;
  // Whether this worker holds the machine-wide lock, for the injection thread.
  static ServingLatch& serving = *new ServingLatch;

  std::optional<asio::io_context> runtime;
  try {
    runtime.emplace(1);
  } catch (const std::exception& error) {
    fatal_stop(fmt::format("Failed building the Runtime: {}", error.what()));
  }

  WorkerStop stop(runtime->get_executor());
  asio::co_spawn(
      *runtime,
      [&]() -> asio::awaitable<void> {
        // Threads still run (capture): end the process without unwinding main.
        if (co_await stop.run(wait_for_stop_signal(), log)) std::_Exit(0);
      },
      asio::detached);

  WorkerTasks tasks{
      .secure_capture_thread =
          [](VideoSender frames) {
            run_secure_capture_thread(std::move(frames), key_frames, log, clock, std::string(kStreamedDesktop));
          },
      .injection_thread =
          [&stop](InputReceiver receiver) {
            // The test worker's streamed desktop is its secure one for input too.
            run_injection_thread(std::move(receiver), log, clock, &serving, std::string(kStreamedDesktop));
            stop.injection_ended();
          },
      .serve_input_pipe =
          [&stop](InputSender sender) {
            return run_input_pipe_server(log, clock, std::move(sender), &stop.input_stop(), &serving);
          },
      .serve_video_pipe =
          [](VideoReceiver frames) { return run_video_pipe_server(log, clock, std::move(frames), key_frames); },
  };

  const auto platform = make_process_platform();
  if (auto result = run_worker(*runtime, *platform, log, std::move(tasks)); !result) {
    fatal_stop(result.error().text());
  }
  return 0;
}
