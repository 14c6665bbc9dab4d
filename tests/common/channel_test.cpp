#include <gtest/gtest.h>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/bind_executor.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/use_awaitable.hpp>
#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/bounded_channel.h"
#include "common/unbounded_channel.h"

namespace halvorine {
namespace {

// Values arrive in order from every clone; the channel closes when the last
// clone goes (after what is queued), and a send to a gone receiver says so.
TEST(UnboundedChannelTest, DeliversInOrderFromEveryCloneAndClosesWithTheLast) {
  auto [sender, receiver] = make_unbounded_channel<int>();
  std::optional<UnboundedSender<int>> clone(sender);
  {
    auto moved = std::move(sender);
    EXPECT_TRUE(moved.send(1));
    EXPECT_TRUE(clone->send(2));
    EXPECT_TRUE(moved.send(3));
  }
  EXPECT_FALSE(receiver.closed());
  clone.reset();
  EXPECT_EQ(receiver.receive(), 1);
  EXPECT_EQ(receiver.receive(), 2);
  EXPECT_EQ(receiver.receive(), 3);
  EXPECT_EQ(receiver.receive(), std::nullopt);
  EXPECT_TRUE(receiver.closed());

  auto [orphan, gone] = make_unbounded_channel<std::string>();
  { auto dropped = std::move(gone); }
  EXPECT_FALSE(orphan.send("dropped"));
}

// A producer task on a runtime that sends `count` values, pausing whenever
// the channel asks it to, and records the longest queue it ever left behind.
asio::awaitable<void> produce_with_backpressure(UnboundedSender<int> sender, int count,
                                                const UnboundedReceiver<int>& receiver,
                                                std::size_t& longest) {
  for (int i = 0; i < count; ++i) {
    sender.send(i);
    longest = std::max(longest, receiver.queued());
    if (sender.above_high_water()) co_await sender.async_wait_for_room(asio::use_awaitable);
  }
}

TEST(UnboundedChannelTest, WatermarksBoundTheQueueOfAProducerThatWaitsForRoom) {
  asio::io_context runtime;
  auto [sender, receiver] = make_unbounded_channel<int>(ChannelWatermarks{16, 8});
  std::size_t longest = 0;
  asio::co_spawn(runtime, produce_with_backpressure(std::move(sender), 10000, receiver, longest),
                 asio::detached);
  // The runtime runs the producer on its own thread while this one drains,
  // each receive waiting for the next send.
  std::thread runtime_thread([&] { runtime.run(); });
  std::vector<int> received;
  while (auto value = receiver.receive()) received.push_back(*value);
  runtime_thread.join();
  ASSERT_EQ(received.size(), 10000u);
  for (int i = 0; i < 10000; ++i) ASSERT_EQ(received[i], i);
  EXPECT_EQ(longest, 16u);  // never past the mark, and it did reach it: the wait really happened
}

TEST(UnboundedChannelTest, WaitForRoomCompletesAtTheLowMarkOrWhenTheReceiverGoes) {
  asio::io_context runtime;
  auto [sender, receiver] = make_unbounded_channel<int>(ChannelWatermarks{4, 2});
  std::optional<UnboundedReceiver<int>> receiver_end(std::move(receiver));
  int woken = 0;
  for (int i = 0; i < 4; ++i) sender.send(i);
  EXPECT_TRUE(sender.above_high_water());
  // Bound to the runtime: a plain handler would run on Asio's system executor.
  sender.async_wait_for_room(asio::bind_executor(runtime, [&] { ++woken; }));
  receiver_end->try_receive();  // 3 left: still above the low mark
  runtime.poll();
  EXPECT_EQ(woken, 0);
  receiver_end->try_receive();  // 2 left: room
  runtime.restart();
  runtime.poll();
  EXPECT_EQ(woken, 1);
  EXPECT_FALSE(sender.above_high_water());

  sender.send(4);
  sender.send(5);
  EXPECT_TRUE(sender.above_high_water());
  sender.async_wait_for_room(asio::bind_executor(runtime, [&] { ++woken; }));
  receiver_end.reset();  // the receiver is gone: the sender must not wait for ever
  runtime.restart();
  runtime.poll();
  EXPECT_EQ(woken, 2);
  EXPECT_FALSE(sender.above_high_water());
  EXPECT_FALSE(sender.send(6));
}

TEST(UnboundedChannelTest, WithoutWatermarksTheSenderIsNeverHeldBack) {
  asio::io_context runtime;
  auto [sender, receiver] = make_unbounded_channel<int>();
  for (int i = 0; i < 100000; ++i) sender.send(i);
  EXPECT_FALSE(sender.above_high_water());
  bool woken = false;
  sender.async_wait_for_room(asio::bind_executor(runtime, [&] { woken = true; }));
  runtime.poll();
  EXPECT_TRUE(woken);
  EXPECT_EQ(receiver.queued(), 100000u);
}

TEST(BoundedChannelTest, TrySendAndTryReceiveTellFullEmptyAndClosed) {
  auto [sender, receiver] = make_bounded_channel<int>(8);
  EXPECT_EQ(receiver.try_receive().error(), TryReceiveError::empty);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(sender.try_send(i), TrySendResult::sent);
  EXPECT_EQ(sender.try_send(8), TrySendResult::full);
  EXPECT_EQ(receiver.try_receive(), 0);
  EXPECT_EQ(sender.try_send(9), TrySendResult::sent);
  { auto gone = std::move(sender); }
  for (int i = 1; i < 8; ++i) EXPECT_EQ(receiver.try_receive(), i);
  EXPECT_EQ(receiver.try_receive(), 9);
  EXPECT_EQ(receiver.try_receive().error(), TryReceiveError::closed);

  auto [orphan, gone] = make_bounded_channel<int>(8);
  { auto dropped = std::move(gone); }
  EXPECT_EQ(orphan.try_send(10), TrySendResult::closed);
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
