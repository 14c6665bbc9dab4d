#include "bin/service/session_follower.h"

#include <algorithm>

#include <fmt/format.h>

namespace halvorine {
namespace {

// Small codes in decimal; NTSTATUS-like ones (a crash) as Windows shows them.
std::string exit_code_text(std::uint32_t code) {
  return code > 0xFFFF ? fmt::format("0x{:08X}", code) : fmt::format("{}", code);
}

std::int64_t whole_seconds(Clock::MonotonicTime::duration duration) {
  return std::chrono::duration_cast<std::chrono::seconds>(duration).count();
}

}  // namespace

std::string_view session_event_name(SessionEvent event) {
  switch (event) {
    case SessionEvent::console_connect: return "console connect";
    case SessionEvent::console_disconnect: return "console disconnect";
    case SessionEvent::remote_connect: return "remote connect";
    case SessionEvent::remote_disconnect: return "remote disconnect";
    case SessionEvent::logon: return "logon";
    case SessionEvent::logoff: return "logoff";
    case SessionEvent::other: return "session change";
  }
  return "session change";
}

SessionFollower::SessionFollower(WorkerHost& host, Logger& log, const Clock& clock)
    : host_(host), log_(log), clock_(clock), session_lines_(log, clock, kSessionLinesSummary) {}

void SessionFollower::start() {
  stopped_ = false;
  log_.log("service starting");
  follow("service start");
}

void SessionFollower::session_changed(SessionEvent event) { follow(session_event_name(event)); }

void SessionFollower::poll() {
  if (stopped_) return;
  if (worker_) {
    if (const std::optional<std::uint32_t> code = host_.reap_worker()) {
      const Clock::MonotonicTime now = clock_.monotonic_now();
      const Clock::MonotonicTime::duration ran = now - worker_->started;
      const std::chrono::seconds delay = schedule_restart(now, ran);
      session_lines_.write(fmt::format(
          "service: worker in session {} (pid {}) exited with code {} after {} s; restarting in {} s",
          worker_->session, worker_->pid, exit_code_text(*code), whole_seconds(ran), delay.count()));
      worker_.reset();
    }
  }
  follow("active console session changed");
}

void SessionFollower::stop(std::string_view reason) {
  if (stopped_) return;
  stopped_ = true;
  log_.log(fmt::format("service stopping ({})", reason));
  if (worker_) end_worker(reason);
  session_lines_.flush();
  log_.log("service stopped");
}

std::chrono::milliseconds SessionFollower::wait_time() const {
  std::chrono::milliseconds wait = kConsolePollInterval;
  if (!worker_ && restart_at_) {
    const auto remaining =
        std::chrono::ceil<std::chrono::milliseconds>(*restart_at_ - clock_.monotonic_now());
    wait = std::clamp(remaining, std::chrono::milliseconds(0), wait);
  }
  return wait;
}

void SessionFollower::follow(std::string_view reason) {
  if (stopped_) return;
  const std::optional<std::uint32_t> session = host_.active_console_session();
  const bool moved = session && last_session_ && *session != *last_session_;
  if (moved) {
    session_lines_.write(
        fmt::format("service: console session {} -> {} ({}): the worker follows", *last_session_, *session, reason));
  }
  if (worker_ && worker_->session != session) {
    end_worker(session ? "its session left the console" : "no active console session");
  }
  if (worker_) return;
  if (!session) {
    if (!waiting_said_) session_lines_.write(fmt::format("service: no active console session ({}); waiting", reason));
    waiting_said_ = true;
    return;
  }
  waiting_said_ = false;
  // A move is no failure: the worker starts at once in its new session.
  if (moved) restart_at_.reset();
  if (restart_at_ && clock_.monotonic_now() < *restart_at_) return;
  launch(*session);
}

void SessionFollower::launch(std::uint32_t session) {
  last_session_ = session;
  restart_at_.reset();
  const Clock::MonotonicTime now = clock_.monotonic_now();
  Result<std::uint32_t> pid = host_.start_worker(session);
  if (!pid) {
    const std::chrono::seconds delay = schedule_restart(now, Clock::MonotonicTime::duration::zero());
    session_lines_.write(fmt::format("service: worker not started in session {}: {}; trying again in {} s", session,
                                     pid.error().text(), delay.count()));
    return;
  }
  worker_ = Worker{session, *pid, now};
  session_lines_.write(fmt::format("service: worker started in session {} (pid {})", session, *pid));
}

std::chrono::seconds SessionFollower::schedule_restart(Clock::MonotonicTime now, Clock::MonotonicTime::duration ran) {
  if (ran >= kHealthyRun) quick_ends_ = 0;
  // 1, 2, 4, 8, 16, then 30 s; the shift stays small however long it fails.
  const std::chrono::seconds delay =
      std::min<std::chrono::seconds>(kFirstRestartDelay * (1u << std::min(quick_ends_, 5u)), kLongestRestartDelay);
  quick_ends_ = std::min(quick_ends_ + 1, 6u);
  restart_at_ = now + delay;
  return delay;
}

void SessionFollower::end_worker(std::string_view why) {
  const Worker worker = *worker_;
  worker_.reset();
  const Result<std::uint32_t> code = host_.end_worker();
  session_lines_.write(fmt::format("service: worker in session {} (pid {}) ended ({}), exit code {}", worker.session,
                                   worker.pid, why, code ? exit_code_text(*code) : code.error().text()));
}

}  // namespace halvorine
