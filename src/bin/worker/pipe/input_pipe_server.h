// The input pipe server: serves \\.\pipe\halvorine-input to one client at a
// time and forwards each decoded message into the input channel.
#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>

#include "bin/worker/input_event.h"
#include "bin/worker/pipe/async_sleep.h"
#include "bin/worker/pipe/client_trust.h"
#include "bin/worker/pipe/input_stop.h"
#include "bin/worker/pipe/pipe_api.h"
#include "bin/worker/pipe/pipe_security.h"
#include "bin/worker/serving_latch.h"
#include "common/burst_throttle.h"
#include "common/clock.h"
#include "common/line_budget.h"
#include "common/logger.h"

namespace halvorine {

// What the input pipe server runs on. Every member outlives the task.
struct InputPipeServerContext {
  PipeApi& pipes;
  PipeSecurityPlatform& security;
  AsyncSleep& sleep;
  Logger& log;
  const Clock& clock;
  InputStop* stop = nullptr;  // the worker's orderly stop, where it has one
  ServingLatch* serving = nullptr;  // opened with the first instance
  // Identifies each client once it is connected; its verdict goes into the
  // channel ahead of its events. Without it no verdict is sent.
  ClientTrustPlatform* trust = nullptr;
};

// The count of connection, disconnection, read-failure, protocol-violation
// and release lines a client made too often (see line_budget.h).
inline constexpr std::string_view kInputLinesSummary = "pipe input: {} mesaje nelogate (conexiuni sau erori prea dese)";

// The "MOUSE recv" lines of every button or wheel message. They are written
// on the runtime's thread, which also writes the video, and each costs a
// log open and close: a client sending such messages without end would
// starve the stream and push everything else out of the log. So at most
// kMouseLinesPerSecond a second, the line counting those not written in the
// second before included, and one more with the count when the client
// leaves. Human clicking stays fully logged.
inline constexpr std::uint32_t kMouseLinesPerSecond = 20;

class MouseLineLog {
 public:
  // Both outlive this.
  MouseLineLog(Logger& log, const Clock& clock) : log_(log), clock_(clock) {}

  // The line of `mouse` (a message with a button or a wheel step).
  void write(const MouseEvent& mouse);
  // The count of lines not written since the last summary, if any.
  void flush();

 private:
  void summary(std::uint64_t suppressed);

  Logger& log_;
  const Clock& clock_;
  BurstThrottle throttle_{kMouseLinesPerSecond, std::chrono::seconds(1), BurstThrottle::Summary::within_limit};
};

// Returns only on `context.stop`'s request: one instance at a time, one
// client after another. Runs on the runtime's thread; `sender` is the input
// channel's sending end. The lines a client causes draw on one budget for
// the server's life, so reconnecting does not renew it.
asio::awaitable<void> serve_input_pipe(InputPipeServerContext context, InputSender sender);

// Serves the connected client on `pipe` until the connection must end (read
// error, end of stream or protocol violation), sending every decoded event
// into `sender` in wire order. While `sender`'s channel is above its
// high-water mark the client is not read (its writes wait in the pipe) until
// the receiver has caught up: nothing is dropped and the queue stays bounded.
// Keys and buttons the client left pressed are released through `sender`
// after its last event. Does not close `pipe`. A read that fails because
// `stop` closed the pipe is not logged. Mouse lines go through `mouse_lines`,
// every other line through `lines`.
asio::awaitable<void> read_input_messages(PipeInstance& pipe, InputSender sender, BudgetedLines& lines,
                                          MouseLineLog& mouse_lines, const InputStop* stop = nullptr);

}  // namespace halvorine
