#include "bin/worker/worker.h"

#include <asio/co_spawn.hpp>
#include <asio/use_awaitable.hpp>
#include <memory>
#include <optional>
#include <string>

#include <fmt/format.h>

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

// The text of an exception a pipe task ended with.
std::string exception_text(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

// Steps after the runtime exists. Returns an error only for a refused thread;
// a pipe task that ends by an exception is recorded in `task_failure`.
Result<void> start_worker(asio::io_context& runtime, ProcessPlatform& platform, Logger& log,
                          WorkerTasks& tasks, std::optional<Error>& task_failure) {
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
  // A task that throws has not ended as the worker knows endings: it is a
  // fatal stop with the exception's text, never counted towards "worker exiting".
  auto remaining = std::make_shared<int>(2);
  auto on_task_end = [remaining, &log, &task_failure](const char* task, std::exception_ptr error) {
    if (error) {
      if (!task_failure) task_failure = Error::message(fmt::format("{}: {}", task, exception_text(error)));
      return;
    }
    if (--*remaining == 0) log.log("worker exiting");
  };
  asio::co_spawn(runtime, tasks.serve_input_pipe(std::move(input_sender)),
                 [on_task_end](std::exception_ptr error) { on_task_end("input pipe server", error); });
  asio::co_spawn(runtime, tasks.serve_video_pipe(std::move(video_receiver)),
                 [on_task_end](std::exception_ptr error) { on_task_end("secure-video pipe writer", error); });
  return {};
}

}  // namespace

Result<void> run_worker(asio::io_context& runtime, ProcessPlatform& platform, Logger& log,
                        WorkerTasks tasks) {
  std::optional<Result<void>> started;
  std::optional<Error> task_failure;
  asio::post(runtime, [&] { started = start_worker(runtime, platform, log, tasks, task_failure); });
  // Stop at once on a fatal error rather than serve half a worker.
  while (runtime.run_one() > 0) {
    if (started && !*started) return *started;
    if (task_failure) return std::unexpected(*task_failure);
  }
  if (task_failure) return std::unexpected(*task_failure);
  return started ? *started : Result<void>{};
}

}  // namespace halvorine
