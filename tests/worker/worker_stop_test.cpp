// The orderly stop: the input pipe server releases what its client holds and
// returns, the injection thread drains the channel, then "worker exiting".
#include "bin/worker/worker_stop.h"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>

#include "bin/worker/pipe/input_pipe_server.h"
#include "fake_pipes.h"

namespace halvorine {
namespace {

using namespace halvorine::testing;
using Lines = std::vector<std::string>;

asio::awaitable<bool> requested(bool value) { co_return value; }

class WorkerStopTest : public ::testing::Test, protected FakePipeWorld {
 protected:
  // The input server with one client that presses ShiftLeft and the left
  // button and stays connected.
  void start_serving() {
    FakeClient client;
    client.chunks = {{0x02, 0x01, 0x00, 0x09, 'S', 'h', 'i', 'f', 't', 'L', 'e', 'f', 't'},
                     {0x01, 0x10, 0x00, 0x20, 0x00, 0x01, 0x01, 0x00, 0x00}};
    client.stays = true;
    pipes.script.push_back(std::move(client));
    auto [sender, receiver] = make_input_channel();
    receiver_.emplace(std::move(receiver));
    asio::co_spawn(runtime_,
                   serve_input_pipe({pipes, security, sleep, log, clock, &stop_.input_stop()}, std::move(sender)),
                   [this](std::exception_ptr) { server_ended_ = true; });
    run_until_idle(runtime_);
  }
  std::vector<InputEvent> drain() {
    std::vector<InputEvent> events;
    while (auto event = receiver_->try_receive()) events.push_back(std::move(*event));
    return events;
  }

  std::optional<InputReceiver> receiver_;
  asio::io_context runtime_;
  WorkerStop stop_{runtime_.get_executor()};
  bool server_ended_ = false;
};

TEST_F(WorkerStopTest, ReleasesWhatTheClientHoldsThenWaitsForTheInjectionThread) {
  start_serving();
  EXPECT_EQ(drain(), (std::vector<InputEvent>{KeyEvent{"ShiftLeft", true}, MouseEvent{4096, 8192, 1, true, 0}}));
  std::optional<bool> stopped;
  asio::co_spawn(runtime_, stop_.run(requested(true), log),
                 [&](std::exception_ptr, bool result) { stopped = result; });
  run_until_idle(runtime_);

  // The server has returned, so the channel is closed after the releases.
  EXPECT_TRUE(server_ended_);
  EXPECT_EQ(drain(), (std::vector<InputEvent>{KeyEvent{"ShiftLeft", false}, MouseEvent{4096, 8192, 1, false, 0}}));
  EXPECT_TRUE(receiver_->closed());
  EXPECT_FALSE(stopped);  // the injection thread has not said it is done
  stop_.injection_ended();
  run_until_idle(runtime_);
  EXPECT_EQ(stopped, true);
  // No read error for the connection the stop ended, and no new instance.
  EXPECT_EQ(served_lines(),
            (Lines{"waiting for client", "client connected",
                   "MOUSE recv nx=4096 ny=8192 → inject abs_x=4096 abs_y=8192 btn=1 pressed=true scroll=0",
                   "releasing held input: 1 key(s), 1 button(s)", "client disconnected", "worker exiting"}));
  EXPECT_EQ(pipes.instances.size(), 1u);
}

TEST_F(WorkerStopTest, StopWhileWaitingForAClientEndsTheServerWithoutAnErrorLine) {
  security.sid = "S-1-5-21-1";
  asio::co_spawn(runtime_, serve_input_pipe({pipes, security, sleep, log, clock, &stop_.input_stop()},
                                            make_input_channel().first),
                 [this](std::exception_ptr) { server_ended_ = true; });
  run_until_idle(runtime_);
  stop_.injection_ended();  // already gone
  std::optional<bool> stopped;
  asio::co_spawn(runtime_, stop_.run(requested(true), log),
                 [&](std::exception_ptr, bool result) { stopped = result; });
  run_until_idle(runtime_);
  EXPECT_EQ(stopped, true);
  EXPECT_EQ(log.lines().back(), "worker exiting");
  EXPECT_EQ(log.lines()[log.lines().size() - 2], "waiting for client");
}

TEST_F(WorkerStopTest, NoStopRequestChangesNothing) {
  start_serving();
  std::optional<bool> stopped;
  asio::co_spawn(runtime_, stop_.run(requested(false), log),
                 [&](std::exception_ptr, bool result) { stopped = result; });
  run_until_idle(runtime_);
  EXPECT_EQ(stopped, false);
  EXPECT_FALSE(server_ended_);
  EXPECT_EQ(log.lines().back(), "MOUSE recv nx=4096 ny=8192 → inject abs_x=4096 abs_y=8192 btn=1 pressed=true scroll=0");
}

}  // namespace
}  // namespace halvorine
