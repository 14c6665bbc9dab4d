// The worker's orderly stop, asked for from outside (SIGTERM or SIGINT on
// Linux; Ctrl+C, Ctrl+Break or the console closing on Windows). The input pipe
// server ends its client's connection as if the client had hung up, sends the
// releases of whatever that client still holds, and returns; with its sending
// ends gone the input channel closes, and the injection thread injects what
// was queued (back-pressure keeps that short) and ends. Then "worker exiting".
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>

#include "bin/worker/pipe/input_stop.h"
#include "common/logger.h"

namespace halvorine {

// How long the stop waits for the injection thread to drain the channel: a
// thread stuck in the platform must not keep the worker from stopping.
inline constexpr std::chrono::milliseconds kInjectionDrainLimit{2000};

class WorkerStop {
 public:
  // `executor` is the runtime's.
  explicit WorkerStop(asio::any_io_executor executor);

  // For the input pipe server's context.
  InputStop& input_stop() { return input_stop_; }

  // Called by the injection thread once its body has returned. Any thread.
  void injection_ended();

  // Waits for `stop_requested`; when it yields true, stops the input pipe
  // server, waits for the injection thread (at most `drain_limit`), logs
  // "worker exiting" and returns true. Returns false at once when it yields
  // false (no stop can be asked for). Runs on the runtime's thread.
  asio::awaitable<bool> run(asio::awaitable<bool> stop_requested, Logger& log,
                            std::chrono::milliseconds drain_limit = kInjectionDrainLimit);

 private:
  asio::any_io_executor executor_;
  InputStop input_stop_;
  asio::steady_timer injection_done_;
  bool injection_ended_ = false;
};

// Completes with true on SIGTERM or SIGINT (Linux) or on the console control
// events Ctrl+C, Ctrl+Break and close (Windows; log-off and shutdown are
// ignored); with false at once when no stop can be asked for.
asio::awaitable<bool> wait_for_stop_signal();

}  // namespace halvorine
