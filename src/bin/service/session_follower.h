// The service's policy: one worker, always in the active console session.
//
// - At start and whenever the console session differs from the worker's
//   (a session event, or the id seen to change on a poll), the worker of the
//   old session is ended and a new one started at once in the new session.
//   With no console session the service ends the old worker and waits.
// - A worker that exits (or fails to start) is started again after 1 s; the
//   delay doubles, up to 30 s, while workers keep ending within a minute of
//   their start, and is 1 s again after one that ran for a minute.
// - Stop ends the worker.
// Every start, stop, move and restart is logged with its reason and the
// worker's exit code. The lines about session events, which a user can cause
// at will (connecting and disconnecting), draw on a line budget.
//
// Single-threaded: the service's own thread calls everything. The caller
// waits for wait_time() (or an event: a session change, the worker's exit,
// stop) and calls poll() after each wait.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "bin/service/worker_host.h"
#include "common/clock.h"
#include "common/line_budget.h"
#include "common/logger.h"

namespace halvorine {

inline constexpr std::chrono::seconds kFirstRestartDelay{1};
inline constexpr std::chrono::seconds kLongestRestartDelay{30};
// A worker that ran this long counts as a success: the next delay is 1 s.
inline constexpr std::chrono::seconds kHealthyRun{60};
// How often the console session id is read besides the session events.
inline constexpr std::chrono::seconds kConsolePollInterval{1};

inline constexpr std::string_view kSessionLinesSummary = "service: {} lines about sessions not written (too many)";

class SessionFollower {
 public:
  // All three outlive the follower.
  SessionFollower(WorkerHost& host, Logger& log, const Clock& clock);

  // "service starting" and the first worker (or the wait for a session).
  void start();
  // A session event: the console is looked at again at once.
  void session_changed(SessionEvent event);
  // Reaps a worker that has exited, follows the console, starts a restart
  // that is due.
  void poll();
  // Ends the worker; `reason` is "stop" or "shutdown". Nothing is started
  // afterwards.
  void stop(std::string_view reason);

  // How long the caller may wait before the next poll().
  std::chrono::milliseconds wait_time() const;

 private:
  struct Worker {
    std::uint32_t session;
    std::uint32_t pid;
    Clock::MonotonicTime started;
  };

  void follow(std::string_view reason);
  void launch(std::uint32_t session);
  // Sets when the next worker may start after one that ran for `ran`; the delay.
  std::chrono::seconds schedule_restart(Clock::MonotonicTime now, Clock::MonotonicTime::duration ran);
  void end_worker(std::string_view why);

  WorkerHost& host_;
  Logger& log_;
  const Clock& clock_;
  BudgetedLines session_lines_;

  std::optional<Worker> worker_;
  // Session of the last worker started (or tried), to tell a move from a restart.
  std::optional<std::uint32_t> last_session_;
  // When the next worker may start; nullopt: at once.
  std::optional<Clock::MonotonicTime> restart_at_;
  unsigned quick_ends_ = 0;  // workers in a row that ended within kHealthyRun
  bool waiting_said_ = false;
  bool stopped_ = true;
};

}  // namespace halvorine
