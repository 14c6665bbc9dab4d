#include "bin/service/session_follower.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "support/fake_clock.h"
#include "support/recording_logger.h"

namespace halvorine {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kNone = 0xFFFFFFFF;

// The console and one worker, as the test sets them; records what the
// follower asks for ("start 1", "end").
class FakeWorkerHost final : public WorkerHost {
 public:
  std::optional<std::uint32_t> console = 1;
  std::optional<std::uint32_t> exit_code;  // the running worker has exited with this
  bool refuse_start = false;
  std::vector<std::string> calls;

  std::optional<std::uint32_t> active_console_session() override { return console; }
  Result<std::uint32_t> start_worker(std::uint32_t session) override {
    EXPECT_FALSE(running_) << "a second worker";
    calls.push_back(fmt::format("start {}", session));
    if (refuse_start) return std::unexpected(Error::message("CreateProcessAsUserW: refused"));
    running_ = true;
    return next_pid_++;
  }
  std::optional<std::uint32_t> reap_worker() override {
    if (!running_ || !exit_code) return std::nullopt;
    running_ = false;
    return std::exchange(exit_code, std::nullopt);
  }
  Result<std::uint32_t> end_worker() override {
    EXPECT_TRUE(running_) << "no worker to end";
    calls.push_back("end");
    running_ = false;
    return 1u;
  }

 private:
  bool running_ = false;
  std::uint32_t next_pid_ = 100;
};

enum class Do { start, poll, exit, console, event, refuse_starts, stop };

struct Step {
  std::chrono::milliseconds at;  // since the script began
  Do action;
  std::uint32_t value;           // exit code, or console session (kNone: none)
  std::string_view calls;        // the host calls this step made, joined by ", "
  std::string_view lines;        // the log lines it wrote, joined by "\n"
  std::int64_t wait_ms = -1;     // wait_time() afterwards, when not -1
  SessionEvent event = SessionEvent::other;
};

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (const auto& part : parts) out += (out.empty() ? "" : std::string(separator)) + part;
  return out;
}

// One service's life: start, a worker failing again and again (1, 2, 4, 8,
// 16, 30, 30 s), one that ran a minute (1 s again), moves seen on a poll and
// on an event, no console session (the worker ended, then waiting), a start
// that fails (backed off like an exit), a move during a backoff (at once),
// stop.
TEST(SessionFollowerTest, FollowsTheConsoleAndBacksOffRestarts) {
  const std::vector<Step> script = {
      {0ms, Do::start, 0, "start 1", "service starting\nservice: worker started in session 1 (pid 100)", 1000},
      {10s, Do::exit, 3, "", "service: worker in session 1 (pid 100) exited with code 3 after 10 s; restarting in 1 s",
       1000},
      {10999ms, Do::poll, 0, "", "", 1},
      {11s, Do::poll, 0, "start 1", "service: worker started in session 1 (pid 101)"},
      {11s, Do::exit, 0xC0000005, "",
       "service: worker in session 1 (pid 101) exited with code 0xC0000005 after 0 s; restarting in 2 s", 1000},
      {12500ms, Do::poll, 0, "", "", 500},
      {13s, Do::poll, 0, "start 1", "service: worker started in session 1 (pid 102)"},
      {14s, Do::exit, 1, "", "service: worker in session 1 (pid 102) exited with code 1 after 1 s; restarting in 4 s"},
      {18s, Do::poll, 0, "start 1", "service: worker started in session 1 (pid 103)"},
      {18s, Do::exit, 1, "", "service: worker in session 1 (pid 103) exited with code 1 after 0 s; restarting in 8 s"},
      {26s, Do::poll, 0, "start 1", "service: worker started in session 1 (pid 104)"},
      {26s, Do::exit, 1, "", "service: worker in session 1 (pid 104) exited with code 1 after 0 s; restarting in 16 s"},
      {42s, Do::poll, 0, "start 1", "service: worker started in session 1 (pid 105)"},
      {101s, Do::exit, 1, "", "service: worker in session 1 (pid 105) exited with code 1 after 59 s; restarting in 30 s"},
      {131s, Do::poll, 0, "start 1", "service: worker started in session 1 (pid 106)"},
      {131s, Do::exit, 1, "", "service: worker in session 1 (pid 106) exited with code 1 after 0 s; restarting in 30 s"},
      {161s, Do::poll, 0, "start 1", "service: worker started in session 1 (pid 107)"},
      {221s, Do::exit, 0, "", "service: worker in session 1 (pid 107) exited with code 0 after 60 s; restarting in 1 s"},
      {222s, Do::poll, 0, "start 1", "service: worker started in session 1 (pid 108)", 1000},
      // The console id changes with no event: the next poll moves the worker.
      {230s, Do::console, 2, "end, start 2",
       "service: console session 1 -> 2 (active console session changed): the worker follows\n"
       "service: worker in session 1 (pid 108) ended (its session left the console), exit code 1\n"
       "service: worker started in session 2 (pid 109)"},
      // No console session: the worker ends and the service waits, saying so once.
      {240s, Do::event, kNone, "end",
       "service: worker in session 2 (pid 109) ended (no active console session), exit code 1\n"
       "service: no active console session (console disconnect); waiting",
       1000, SessionEvent::console_disconnect},
      {245s, Do::poll, 0, "", ""},
      {250s, Do::event, 3, "start 3",
       "service: console session 2 -> 3 (remote connect): the worker follows\n"
       "service: worker started in session 3 (pid 110)",
       -1, SessionEvent::remote_connect},
      // An event that leaves the console where it was changes nothing.
      {251s, Do::event, 3, "", "", -1, SessionEvent::logon},
      {252s, Do::exit, 2, "", "service: worker in session 3 (pid 110) exited with code 2 after 2 s; restarting in 2 s"},
      {252s, Do::refuse_starts, 1, "", ""},
      {254s, Do::poll, 0, "start 3",
       "service: worker not started in session 3: CreateProcessAsUserW: refused; trying again in 4 s", 1000},
      {255s, Do::refuse_starts, 0, "", ""},
      // A move while a restart waits starts the worker at once.
      {255s, Do::event, 4, "start 4",
       "service: console session 3 -> 4 (console connect): the worker follows\n"
       "service: worker started in session 4 (pid 111)",
       -1, SessionEvent::console_connect},
      {256s, Do::stop, 0, "end",
       "service stopping (stop)\n"
       "service: worker in session 4 (pid 111) ended (stop), exit code 1\n"
       "service stopped"},
      // Stopped: nothing starts again.
      {300s, Do::event, 5, "", "", -1, SessionEvent::logon},
      {300s, Do::poll, 0, "", ""},
  };

  testing::FakeClock clock;
  testing::RecordingLogger log;
  FakeWorkerHost host;
  SessionFollower follower(host, log, clock);
  const Clock::MonotonicTime begin = clock.monotonic_now();

  for (const Step& step : script) {
    SCOPED_TRACE(fmt::format("step at {} ms", step.at.count()));
    ASSERT_GE(begin + step.at, clock.monotonic_now());
    clock.advance(begin + step.at - clock.monotonic_now());
    host.calls.clear();
    log.clear();
    switch (step.action) {
      case Do::start: follower.start(); break;
      case Do::poll: follower.poll(); break;
      case Do::exit:
        host.exit_code = step.value;
        follower.poll();
        break;
      case Do::console:
        host.console = step.value;
        follower.poll();
        break;
      case Do::event:
        host.console = step.value == kNone ? std::nullopt : std::optional(step.value);
        follower.session_changed(step.event);
        break;
      case Do::refuse_starts: host.refuse_start = step.value != 0; break;
      case Do::stop: follower.stop("stop"); break;
    }
    EXPECT_EQ(joined(host.calls, ", "), step.calls);
    EXPECT_EQ(joined(log.lines(), "\n"), step.lines);
    if (step.wait_ms >= 0) {
      EXPECT_EQ(follower.wait_time().count(), step.wait_ms);
    }
  }
}

// A user connecting and disconnecting the console without end moves the
// worker each time, but the log gets the budget's lines and then a count.
TEST(SessionFollowerTest, SessionFloodLinesDrawOnTheBudget) {
  testing::FakeClock clock;
  testing::RecordingLogger log;
  FakeWorkerHost host;
  SessionFollower follower(host, log, clock);
  follower.start();
  for (int i = 0; i < 1000; ++i) {
    host.console = i % 2 == 0 ? 2u : 1u;
    follower.session_changed(SessionEvent::console_connect);
  }
  EXPECT_EQ(host.calls.size(), 1 + 2 * 1000u);  // every move made
  EXPECT_EQ(log.lines().size(), 1 + kClientLineBurst);
  clock.advance(2s);
  follower.stop("shutdown");
  const std::vector<std::string> summary = log.lines_with("lines about sessions not written");
  ASSERT_EQ(summary.size(), 1u);
  // One budgeted line for the first worker, three per move (move, end, start), less those written.
  EXPECT_EQ(summary[0], fmt::format("service: {} lines about sessions not written (too many)",
                                    1 + 3 * 1000 - kClientLineBurst));
  EXPECT_EQ(log.lines().back(), "service stopped");
}

}  // namespace
}  // namespace halvorine
