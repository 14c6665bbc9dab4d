#include "bin/worker/worker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <asio/use_awaitable.hpp>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace halvorine {
namespace {

using ::testing::ElementsAre;

// One ordered record of everything start-up does: platform calls, log lines,
// thread starts and pipe task starts.
class Journal final : public Logger {
 public:
  void log(std::string_view message) override { add("log: " + std::string(message)); }
  void add(std::string entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
  }
  std::vector<std::string> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
};

class FakeProcessPlatform final : public ProcessPlatform {
 public:
  explicit FakeProcessPlatform(Journal& journal) : journal_(journal) {}

  void hide_console() override { journal_.add("hide console"); }
  bool set_per_monitor_dpi_awareness() override {
    journal_.add("set DPI awareness");
    return dpi_settable;
  }
  TcbPrivilegeOutcome enable_tcb_privilege() override {
    journal_.add("enable SeTcbPrivilege");
    return privilege;
  }
  bool spawn_detached_thread(std::move_only_function<void()> body) override {
    journal_.add("spawn thread");
    if (spawns_allowed == 0) return false;
    --spawns_allowed;
    threads.emplace_back(std::move(body));
    return true;
  }

  bool dpi_settable = true;
  TcbPrivilegeOutcome privilege = TcbPrivilegeOutcome::enabled;
  int spawns_allowed = 2;
  std::vector<std::jthread> threads;

 private:
  Journal& journal_;
};

// Tasks that record their start and end at once.
WorkerTasks recording_tasks(Journal& journal) {
  return WorkerTasks{
      .secure_capture_thread = [&journal](VideoSender) { journal.add("secure-capture thread ran"); },
      .injection_thread = [&journal](InputReceiver) { journal.add("injection thread ran"); },
      .serve_input_pipe = [&journal](InputSender) -> asio::awaitable<void> {
        journal.add("input pipe task");
        co_return;
      },
      .serve_video_pipe = [&journal](VideoReceiver) -> asio::awaitable<void> {
        journal.add("video pipe task");
        co_return;
      },
  };
}

std::vector<std::string> without_thread_bodies(std::vector<std::string> entries) {
  std::erase_if(entries, [](const std::string& e) { return e.ends_with("thread ran"); });
  return entries;
}

TEST(WorkerStartupTest, RunsEveryStepInOrder) {
  Journal journal;
  FakeProcessPlatform platform(journal);
  asio::io_context runtime(1);
  ASSERT_TRUE(run_worker(runtime, platform, journal, recording_tasks(journal)));
  platform.threads.clear();  // joins

  EXPECT_THAT(without_thread_bodies(journal.entries()),
              ElementsAre("hide console", "set DPI awareness", "log: DPI: per-monitor-aware V2 set",
                          "log: worker starting", "spawn thread", "enable SeTcbPrivilege",
                          "log: priv: SE_TCB activat", "spawn thread", "input pipe task",
                          "video pipe task", "log: worker exiting"));
}

TEST(WorkerStartupTest, ReportsDpiAndEveryPrivilegeOutcomeAndCarriesOn) {
  const std::pair<TcbPrivilegeOutcome, const char*> cases[] = {
      {TcbPrivilegeOutcome::not_held, "log: priv: SE_TCB indisponibil (worker nu ruleaza ca SYSTEM?)"},
      {TcbPrivilegeOutcome::token_unavailable, "log: priv: OpenProcessToken esuat"},
      {TcbPrivilegeOutcome::lookup_failed, "log: priv: LookupPrivilegeValueW(SE_TCB) esuat"},
  };
  for (const auto& [outcome, message] : cases) {
    Journal journal;
    FakeProcessPlatform platform(journal);
    platform.dpi_settable = false;
    platform.privilege = outcome;
    asio::io_context runtime(1);
    ASSERT_TRUE(run_worker(runtime, platform, journal, recording_tasks(journal)));
    platform.threads.clear();
    const auto entries = without_thread_bodies(journal.entries());
    EXPECT_EQ(entries[2], "log: DPI: awareness already set (ok)");
    EXPECT_EQ(entries[6], message);
    EXPECT_EQ(entries.back(), "log: worker exiting");
  }
}

// A thread the platform refuses (the first or the second), or a pipe task
// ending by an exception, ends the worker with its text and nothing after it.
TEST(WorkerStartupTest, RefusedThreadOrThrowingPipeTaskIsFatal) {
  const struct {
    int spawns_allowed;
    bool input_throws, video_throws;
    const char* error;
    const char* never;  // an entry that must not be in the journal
  } cases[] = {
      {0, false, false, "failed to spawn thread", "enable SeTcbPrivilege"},
      {1, false, false, "failed to spawn thread", "input pipe task"},
      {2, true, false, "input pipe server: pipe broke", "log: worker exiting"},
      {2, false, true, "secure-video pipe writer: pipe broke", "log: worker exiting"},
  };
  for (const auto& c : cases) {
    Journal journal;
    FakeProcessPlatform platform(journal);
    platform.spawns_allowed = c.spawns_allowed;
    WorkerTasks tasks = recording_tasks(journal);
    auto throwing = [](auto) -> asio::awaitable<void> {
      throw std::runtime_error("pipe broke");
      co_return;
    };
    if (c.input_throws) tasks.serve_input_pipe = throwing;
    if (c.video_throws) tasks.serve_video_pipe = throwing;
    asio::io_context runtime(1);
    const Result<void> result = run_worker(runtime, platform, journal, std::move(tasks));
    platform.threads.clear();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().text(), c.error);
    const auto entries = without_thread_bodies(journal.entries());
    EXPECT_EQ(std::count(entries.begin(), entries.end(), c.never), 0) << c.error;
    if (c.spawns_allowed < 2) {
      EXPECT_EQ(entries.back(), "spawn thread");
    }
  }
}

TEST(WorkerStartupTest, ChannelsConnectThreadsToPipeTasksAndExitWaitsForBoth) {
  Journal journal;
  FakeProcessPlatform platform(journal);
  std::vector<std::string> injected;
  std::vector<EncodedFrame> streamed;

  WorkerTasks tasks{
      .secure_capture_thread =
          [](VideoSender sender) {
            sender.try_send(EncodedFrame{0, 0, 0, 1, 9});
            sender.try_send(EncodedFrame{0, 0, 0, 1, 10});
          },
      .injection_thread =
          [&injected](InputReceiver receiver) {
            while (auto event = receiver.receive()) injected.push_back(std::get<KeyEvent>(*event).name);
          },
      .serve_input_pipe = [](InputSender sender) -> asio::awaitable<void> {
        sender.send(KeyEvent{"KeyA", true});
        sender.send(KeyEvent{"KeyA", false});
        co_return;
      },
      .serve_video_pipe = [&streamed, &journal](VideoReceiver receiver) -> asio::awaitable<void> {
        // Ends only when the secure-capture thread has dropped its sender.
        while (auto frame = co_await receiver.async_receive(asio::use_awaitable)) {
          streamed.push_back(std::move(*frame));
        }
        journal.add("video pipe ended");
      },
  };
  asio::io_context runtime(1);
  ASSERT_TRUE(run_worker(runtime, platform, journal, std::move(tasks)));
  platform.threads.clear();

  EXPECT_THAT(injected, ElementsAre("KeyA", "KeyA"));
  ASSERT_EQ(streamed.size(), 2u);
  EXPECT_EQ(streamed[1], (EncodedFrame{0, 0, 0, 1, 10}));
  const auto entries = journal.entries();
  ASSERT_GE(entries.size(), 2u);
  EXPECT_EQ(entries[entries.size() - 2], "video pipe ended");
  EXPECT_EQ(entries.back(), "log: worker exiting");
}

}  // namespace
}  // namespace halvorine
