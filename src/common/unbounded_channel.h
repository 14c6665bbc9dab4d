// First-in first-out channel between threads: any number of senders, one
// receiver. Sending never blocks and never refuses a value; receive() blocks
// the receiving thread. The channel closes for the receiver when every sender
// is gone, and it still delivers what was queued before it reports closed.
//
// Back-pressure (optional): a channel made with ChannelWatermarks still takes
// every value, but tells a sender when the queue has reached the high-water
// mark, and lets a sender on an Asio runtime wait, without blocking its
// thread, until the receiver has drained the queue to the low-water mark. A
// sender that stops producing while above the mark keeps the queue bounded.
#pragma once

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "common/channel_senders.h"

namespace halvorine {

template <typename T>
class UnboundedReceiver;

// Queue lengths for back-pressure; low < high.
struct ChannelWatermarks {
  std::size_t high;  // senders should stop producing at this many queued values
  std::size_t low;   // and may go on once the receiver is down to this many
};

namespace detail {

template <typename T>
struct UnboundedChannelState {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<T> queue;
  std::size_t senders = 1;
  bool receiver_alive = true;
  std::optional<ChannelWatermarks> watermarks;
  // A sender waiting for room; it posts its completion to its own executor.
  // Taken out under the lock and called after it is released.
  std::move_only_function<void()> room_waiter;

  bool has_room_locked() const {
    return !watermarks || !receiver_alive || queue.size() <= watermarks->low;
  }
  void last_sender_gone() { ready.notify_all(); }
};

}  // namespace detail

// Copying clones the sending end; the channel stays open while any clone lives.
template <typename T>
class UnboundedSender : public detail::ChannelSenders<detail::UnboundedChannelState<T>> {
 public:
  // Queues `value`. Returns false (and drops it) when the receiver is gone.
  bool send(T value) const {
    {
      std::lock_guard lock(state_->mutex);
      if (!state_->receiver_alive) return false;
      state_->queue.push_back(std::move(value));
    }
    state_->ready.notify_one();
    return true;
  }

  // True while the queue holds at least the high-water mark (never without
  // watermarks, nor once the receiver is gone).
  bool above_high_water() const {
    std::lock_guard lock(state_->mutex);
    return state_->watermarks && state_->receiver_alive &&
           state_->queue.size() >= state_->watermarks->high;
  }

  // Completes (signature void()) once the queue is down to the low-water
  // mark or the receiver is gone; at once if that is already so. At most one
  // sender waits at a time. The completion runs on the handler's executor,
  // whose context must outlive the wait (the receiver may complete it).
  template <typename CompletionToken>
  auto async_wait_for_room(CompletionToken&& token) const {
    return asio::async_initiate<CompletionToken, void()>(
        [state = state_](auto handler) {
          auto executor = asio::get_associated_executor(handler);
          auto work = asio::make_work_guard(executor);
          auto complete = [handler = std::move(handler), executor, work = std::move(work)]() mutable {
            asio::post(executor, std::move(handler));
            work.reset();
          };
          std::unique_lock lock(state->mutex);
          if (state->has_room_locked()) {
            lock.unlock();
            complete();
          } else {
            state->room_waiter = std::move(complete);
          }
        },
        token);
  }

 private:
  template <typename U>
  friend std::pair<UnboundedSender<U>, UnboundedReceiver<U>> make_unbounded_channel(
      std::optional<ChannelWatermarks>);
  using Senders = detail::ChannelSenders<detail::UnboundedChannelState<T>>;
  using Senders::state_;
  explicit UnboundedSender(std::shared_ptr<detail::UnboundedChannelState<T>> state) : Senders(std::move(state)) {}
};

template <typename T>
class UnboundedReceiver {
 public:
  UnboundedReceiver(UnboundedReceiver&&) noexcept = default;
  UnboundedReceiver& operator=(UnboundedReceiver&&) noexcept = default;
  UnboundedReceiver(const UnboundedReceiver&) = delete;
  UnboundedReceiver& operator=(const UnboundedReceiver&) = delete;
  ~UnboundedReceiver() {
    if (!state_) return;
    std::move_only_function<void()> waiter;
    std::deque<T> dropped;
    {
      std::lock_guard lock(state_->mutex);
      state_->receiver_alive = false;
      dropped.swap(state_->queue);
      waiter = std::exchange(state_->room_waiter, nullptr);
    }
    // A waiting sender learns that its sends now go nowhere.
    if (waiter) waiter();
  }

  // Waits for the next value; nullopt once every sender is gone and the queue is empty.
  std::optional<T> receive() {
    std::unique_lock lock(state_->mutex);
    state_->ready.wait(lock, [&] { return !state_->queue.empty() || state_->senders == 0; });
    return pop_and_wake(lock);
  }

  // The next value if one is queued; nullopt otherwise (use closed() to tell why).
  std::optional<T> try_receive() {
    std::unique_lock lock(state_->mutex);
    return pop_and_wake(lock);
  }

  // Values queued now (for measurements and tests).
  std::size_t queued() const {
    std::lock_guard lock(state_->mutex);
    return state_->queue.size();
  }

  bool closed() const {
    std::lock_guard lock(state_->mutex);
    return state_->queue.empty() && state_->senders == 0;
  }

 private:
  template <typename U>
  friend std::pair<UnboundedSender<U>, UnboundedReceiver<U>> make_unbounded_channel(
      std::optional<ChannelWatermarks>);
  explicit UnboundedReceiver(std::shared_ptr<detail::UnboundedChannelState<T>> state)
      : state_(std::move(state)) {}

  // Pops under `lock`, releases it, and wakes a sender waiting for room once
  // the queue is down to the low-water mark.
  std::optional<T> pop_and_wake(std::unique_lock<std::mutex>& lock) {
    if (state_->queue.empty()) return std::nullopt;
    std::optional<T> value(std::move(state_->queue.front()));
    state_->queue.pop_front();
    std::move_only_function<void()> waiter;
    if (state_->room_waiter && state_->has_room_locked()) {
      waiter = std::exchange(state_->room_waiter, nullptr);
    }
    lock.unlock();
    if (waiter) waiter();
    return value;
  }

  std::shared_ptr<detail::UnboundedChannelState<T>> state_;
};

// Without watermarks the queue grows as long as senders send.
template <typename T>
std::pair<UnboundedSender<T>, UnboundedReceiver<T>> make_unbounded_channel(
    std::optional<ChannelWatermarks> watermarks) {
  auto state = std::make_shared<detail::UnboundedChannelState<T>>();
  state->watermarks = watermarks;
  return {UnboundedSender<T>(state), UnboundedReceiver<T>(state)};
}

template <typename T>
std::pair<UnboundedSender<T>, UnboundedReceiver<T>> make_unbounded_channel() {
  return make_unbounded_channel<T>(std::nullopt);
}

}  // namespace halvorine
