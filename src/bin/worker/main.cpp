// halvorine-worker: the privileged helper that replays remote input and
// streams the secure desktop to the product's GUI. No options, no
// configuration; it runs until it is terminated from outside (on Linux,
// SIGTERM and SIGINT stop it in order: see worker_stop.h).
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <cstdlib>
#include <exception>
#include <optional>
#include <thread>
#include <chrono>

#include <fmt/format.h>

#include "bin/worker/inject/injection_thread.h"
#include "bin/worker/pipe/pipe_tasks.h"
#include "bin/worker/process/process_platform.h"
#include "bin/worker/worker.h"
#include "bin/worker/worker_stop.h"
#include "common/clock.h"
#include "common/worker_log.h"

using namespace halvorine;

namespace {

// Keeps a channel end alive for the life of the process.
template <typename ChannelEnd>
[[noreturn]] void hold_until_process_exit([[maybe_unused]] ChannelEnd end) {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

}  // namespace

int main() {
  // The detached threads use the log and the clock until the process ends,
  // which is after main has returned and static destructors have run: both
  // are created once and never destroyed.
  static const SystemClock& clock = *new SystemClock;
  static WorkerLog& log = *new WorkerLog(clock);

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
      // Until the secure-desktop streaming loop exists this thread only holds
      // the video channel open, so the video pipe keeps serving.
      .secure_capture_thread = [](VideoSender sender) { hold_until_process_exit(std::move(sender)); },
      .injection_thread =
          [&stop](InputReceiver receiver) {
            run_injection_thread(std::move(receiver), log, clock);
            stop.injection_ended();
          },
      .serve_input_pipe =
          [&stop](InputSender sender) {
            return run_input_pipe_server(log, std::move(sender), &stop.input_stop());
          },
      .serve_video_pipe = [](VideoReceiver frames) { return run_video_pipe_server(log, std::move(frames)); },
  };

  const auto platform = make_process_platform();
  if (auto result = run_worker(*runtime, *platform, log, std::move(tasks)); !result) {
    fatal_stop(result.error().text());
  }
  return 0;
}
