#include <gtest/gtest.h>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/bind_executor.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/use_awaitable.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/bounded_channel.h"
#include "common/unbounded_channel.h"

namespace halvorine {
namespace {

TEST(UnboundedChannelTest, DeliversInOrderThenReportsClosedAfterDrain) {
  auto [sender, receiver] = make_unbounded_channel<int>();
  {
    auto moved = std::move(sender);
    auto clone = moved;
    EXPECT_TRUE(moved.send(1));
    EXPECT_TRUE(clone.send(2));
    EXPECT_TRUE(moved.send(3));
  }
  EXPECT_EQ(receiver.receive(), 1);
  EXPECT_EQ(receiver.receive(), 2);
  EXPECT_EQ(receiver.receive(), 3);
  EXPECT_EQ(receiver.receive(), std::nullopt);
  EXPECT_TRUE(receiver.closed());
}

TEST(UnboundedChannelTest, StaysOpenWhileAnyCloneLives) {
  auto [sender, receiver] = make_unbounded_channel<int>();
  std::optional<UnboundedSender<int>> clone(sender);
  { auto gone = std::move(sender); }
  EXPECT_FALSE(receiver.closed());
  clone->send(7);
  clone.reset();
  EXPECT_EQ(receiver.receive(), 7);
  EXPECT_EQ(receiver.receive(), std::nullopt);
}

TEST(UnboundedChannelTest, SendAfterReceiverIsGoneReportsFalse) {
  auto [sender, receiver] = make_unbounded_channel<std::string>();
  { auto gone = std::move(receiver); }
  EXPECT_FALSE(sender.send("dropped"));
}

TEST(UnboundedChannelTest, BlockingReceiveWakesOnSendFromAnotherThread) {
  auto [sender, receiver] = make_unbounded_channel<int>();
  std::thread producer([s = std::move(sender)] {
    for (int i = 0; i < 1000; ++i) s.send(i);
  });
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(receiver.receive(), i);
  producer.join();
  EXPECT_EQ(receiver.receive(), std::nullopt);
}

TEST(BoundedChannelTest, TrySendReportsFullAndClosed) {
  auto [sender, receiver] = make_bounded_channel<int>(8);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(sender.try_send(i), TrySendResult::sent);
  EXPECT_EQ(sender.try_send(8), TrySendResult::full);
  EXPECT_EQ(receiver.try_receive(), 0);
  EXPECT_EQ(sender.try_send(9), TrySendResult::sent);
  { auto gone = std::move(receiver); }
  EXPECT_EQ(sender.try_send(10), TrySendResult::closed);
}

TEST(BoundedChannelTest, TryReceiveTellsEmptyFromClosedAfterDrain) {
  auto [sender, receiver] = make_bounded_channel<int>(8);
  EXPECT_EQ(receiver.try_receive().error(), TryReceiveError::empty);
  sender.try_send(1);
  { auto gone = std::move(sender); }
  EXPECT_EQ(receiver.try_receive(), 1);
  EXPECT_EQ(receiver.try_receive().error(), TryReceiveError::closed);
}

asio::awaitable<void> collect(BoundedReceiver<int>& receiver, std::vector<int>& out, bool& closed) {
  for (;;) {
    std::optional<int> value = co_await receiver.async_receive(asio::use_awaitable);
    if (!value) {
      closed = true;
      co_return;
    }
    out.push_back(*value);
  }
}

TEST(BoundedChannelTest, AsyncReceiveGetsQueuedThenLiveValuesThenClosed) {
  asio::io_context runtime;
  auto [sender, receiver] = make_bounded_channel<int>(8);
  sender.try_send(1);
  sender.try_send(2);
  std::vector<int> received;
  bool closed = false;
  asio::co_spawn(runtime, collect(receiver, received, closed), asio::detached);

  // A producer thread that outlives the sends: the runtime must keep waiting
  // for it rather than run out of work.
  std::thread producer([s = std::move(sender)]() mutable {
    for (int i = 3; i <= 200; ++i) {
      while (s.try_send(i) == TrySendResult::full) std::this_thread::yield();
    }
  });
  runtime.run();
  producer.join();

  ASSERT_EQ(received.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(received[i], i + 1);
  EXPECT_TRUE(closed);
}

TEST(BoundedChannelTest, CancelledReceiveCompletesEmptyAndLosesNoValue) {
  asio::io_context runtime;
  auto [sender, receiver] = make_bounded_channel<int>(8);
  asio::cancellation_signal signal;
  std::vector<std::optional<int>> results;
  const auto receive = [&] {
    receiver.async_receive(asio::bind_cancellation_slot(
        signal.slot(), asio::bind_executor(runtime, [&](std::optional<int> value) { results.push_back(value); })));
  };

  receive();
  runtime.poll();
  signal.emit(asio::cancellation_type::terminal);
  runtime.restart();
  runtime.poll();
  ASSERT_EQ(results, std::vector<std::optional<int>>{std::nullopt});

  // The cancelled receive took nothing: the next value is queued and received.
  EXPECT_EQ(sender.try_send(5), TrySendResult::sent);
  receive();
  runtime.restart();
  runtime.poll();
  // A value handed to a waiting receive wins over a later cancellation.
  receive();
  EXPECT_EQ(sender.try_send(6), TrySendResult::sent);
  signal.emit(asio::cancellation_type::terminal);
  runtime.restart();
  runtime.poll();
  EXPECT_EQ(results, (std::vector<std::optional<int>>{std::nullopt, 5, 6}));
}

}  // namespace
}  // namespace halvorine
