#include "bin/worker/worker.h"

#include <asio/co_spawn.hpp>
#include <asio/use_awaitable.hpp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

namespace halvorine {
namespace {

constexpr const char* kSpawnFailed = "failed to spawn thread";

const char* privilege_message(TcbPrivilegeOutcome outcome) {
  switch (outcome) {
    case TcbPrivilegeOutcome::enabled:
      return "priv: SE_TCB activat";
    case TcbPrivilegeOutcome::not_held:
      return "priv: SE_TCB indisponibil (worker nu ruleaza ca SYSTEM?)";
    case TcbPrivilegeOutcome::token_unavailable:
      return "priv: OpenProcessToken esuat";
    case TcbPrivilegeOutcome::lookup_failed:
      return "priv: LookupPrivilegeValueW(SE_TCB) esuat";
  }
  return "priv: SE_TCB indisponibil (worker nu ruleaza ca SYSTEM?)";
}

// Steps after the runtime exists. Returns an error only for a refused thread.
Result<void> start_worker(asio::io_context& runtime, ProcessPlatform& platform, Logger& log,
                          WorkerTasks& tasks) {
  platform.hide_console();
  log.log(platform.set_per_monitor_dpi_awareness() ? "DPI: per-monitor-aware V2 set"
                                                   : "DPI: awareness already set (ok)");
  log.log("worker starting");

  auto [video_sender, video_receiver] = make_bounded_channel<EncodedFrame>(kVideoChannelCapacity);
  if (!platform.spawn_detached_thread(
          [body = std::move(tasks.secure_capture_thread), sender = std::move(video_sender)]() mutable {
            body(std::move(sender));
          })) {
    return std::unexpected(Error::message(kSpawnFailed));
  }

  log.log(privilege_message(platform.enable_tcb_privilege()));

  auto [input_sender, input_receiver] = make_input_channel();
  if (!platform.spawn_detached_thread(
          [body = std::move(tasks.injection_thread), receiver = std::move(input_receiver)]() mutable {
            body(std::move(receiver));
          })) {
    return std::unexpected(Error::message(kSpawnFailed));
  }

  // Both tasks share this thread; the input pipe server is spawned first and
  // so gets the first turn. "worker exiting" follows the end of both.
  auto remaining = std::make_shared<int>(2);
  auto on_task_end = [remaining, &log](std::exception_ptr) {
    if (--*remaining == 0) log.log("worker exiting");
  };
  asio::co_spawn(runtime, tasks.serve_input_pipe(std::move(input_sender)), on_task_end);
  asio::co_spawn(runtime, tasks.serve_video_pipe(std::move(video_receiver)), on_task_end);
  return {};
}

}  // namespace

Result<void> run_worker(asio::io_context& runtime, ProcessPlatform& platform, Logger& log,
                        WorkerTasks tasks) {
  std::optional<Result<void>> started;
  asio::post(runtime, [&] { started = start_worker(runtime, platform, log, tasks); });
  // Stop at once on a fatal start-up error rather than serve half a worker.
  while (runtime.run_one() > 0) {
    if (started && !*started) return *started;
  }
  return started ? *started : Result<void>{};
}

void fatal_stop(std::string_view message) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  std::_Exit(101);
}

}  // namespace halvorine
