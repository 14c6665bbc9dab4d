// Bounded channel from a plain thread to an Asio task: the sender's try_send
// never blocks (a full or closed channel drops the value), the receiver
// awaits values on its executor. It closes for the receiver when every sender
// is gone, after delivering what was queued.
#pragma once

#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/async_result.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <cstddef>
#include <deque>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "common/channel_senders.h"

namespace halvorine {

template <typename T>
class BoundedReceiver;

enum class TrySendResult { sent, full, closed };
enum class TryReceiveError { empty, closed };

namespace detail {

template <typename T>
struct BoundedChannelState {
  explicit BoundedChannelState(std::size_t capacity) : capacity(capacity) {}

  std::mutex mutex;
  const std::size_t capacity;
  std::deque<T> queue;
  std::size_t senders = 1;
  bool receiver_alive = true;
  // A receive waiting for a value; it posts its completion to its own executor.
  std::move_only_function<void(std::optional<T>)> waiter;

  void last_sender_gone() {
    std::move_only_function<void(std::optional<T>)> woken;
    {
      std::lock_guard lock(mutex);
      // A waiter exists only while the queue is empty: wake it with "closed".
      if (senders == 0 && waiter) woken = std::exchange(waiter, nullptr);
    }
    if (woken) woken(std::nullopt);
  }
};

}  // namespace detail

// Copies are more senders of the same channel.
template <typename T>
class BoundedSender : public detail::ChannelSenders<detail::BoundedChannelState<T>> {
 public:
  // Whether a try_send now would be taken (a hint: the receiver may only
  // make more room, or go).
  bool has_room() const {
    std::lock_guard lock(state_->mutex);
    return state_->receiver_alive && (state_->waiter || state_->queue.size() < state_->capacity);
  }

  // Hands `value` to a waiting receive or queues it; never blocks.
  TrySendResult try_send(T value) const {
    std::move_only_function<void(std::optional<T>)> waiter;
    {
      std::lock_guard lock(state_->mutex);
      if (!state_->receiver_alive) return TrySendResult::closed;
      if (state_->waiter) {
        waiter = std::exchange(state_->waiter, nullptr);
      } else if (state_->queue.size() >= state_->capacity) {
        return TrySendResult::full;
      } else {
        state_->queue.push_back(std::move(value));
        return TrySendResult::sent;
      }
    }
    waiter(std::optional<T>(std::move(value)));
    return TrySendResult::sent;
  }

 private:
  template <typename U>
  friend std::pair<BoundedSender<U>, BoundedReceiver<U>> make_bounded_channel(std::size_t);
  using Senders = detail::ChannelSenders<detail::BoundedChannelState<T>>;
  using Senders::state_;
  explicit BoundedSender(std::shared_ptr<detail::BoundedChannelState<T>> state) : Senders(std::move(state)) {}
};

template <typename T>
class BoundedReceiver {
 public:
  BoundedReceiver(BoundedReceiver&&) noexcept = default;
  BoundedReceiver& operator=(BoundedReceiver&&) noexcept = default;
  BoundedReceiver(const BoundedReceiver&) = delete;
  BoundedReceiver& operator=(const BoundedReceiver&) = delete;
  ~BoundedReceiver() {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    state_->receiver_alive = false;
    state_->queue.clear();
    state_->waiter = nullptr;
  }

  // A queued value without waiting, or why there is none.
  std::expected<T, TryReceiveError> try_receive() {
    std::lock_guard lock(state_->mutex);
    if (!state_->queue.empty()) {
      T value = std::move(state_->queue.front());
      state_->queue.pop_front();
      return value;
    }
    if (state_->senders == 0) return std::unexpected(TryReceiveError::closed);
    return std::unexpected(TryReceiveError::empty);
  }

  // Completes with the next value, or nullopt once the channel is closed and
  // empty. Signature void(std::optional<T>); at most one receive at a time.
  // A receive waiting for a value may be cancelled through the handler's
  // cancellation slot; it then completes with nullopt too and no value is
  // lost (a value that arrives first wins).
  template <typename CompletionToken>
  auto async_receive(CompletionToken&& token) {
    return asio::async_initiate<CompletionToken, void(std::optional<T>)>(
        [state = state_](auto handler) {
          std::unique_lock lock(state->mutex);
          if (!state->queue.empty()) {
            std::optional<T> value(std::move(state->queue.front()));
            state->queue.pop_front();
            lock.unlock();
            post_completion(std::move(handler), std::move(value), {});
          } else if (state->senders == 0) {
            lock.unlock();
            post_completion(std::move(handler), std::nullopt, {});
          } else {
            auto slot = asio::get_associated_cancellation_slot(handler);
            // Keeps the runtime running while the value comes from another thread.
            auto work = asio::make_work_guard(asio::get_associated_executor(handler));
            state->waiter = [handler = std::move(handler), slot,
                             work = std::move(work)](std::optional<T> value) mutable {
              post_completion(std::move(handler), std::move(value), slot);
              work.reset();
            };
            if (slot.is_connected()) {
              slot.assign([weak = std::weak_ptr(state)](asio::cancellation_type) {
                const auto cancelled = weak.lock();
                if (!cancelled) return;
                std::move_only_function<void(std::optional<T>)> waiter;
                {
                  std::lock_guard guard(cancelled->mutex);
                  waiter = std::exchange(cancelled->waiter, nullptr);
                }
                if (waiter) waiter(std::nullopt);
              });
            }
          }
        },
        token);
  }

 private:
  // Runs the handler on its own executor; `slot`, when a cancellation
  // handler was installed in it, is cleared there first, since a slot may
  // only be touched on that executor.
  template <typename Handler>
  static void post_completion(Handler handler, std::optional<T> value, asio::cancellation_slot slot) {
    auto executor = asio::get_associated_executor(handler);
    asio::post(executor, [handler = std::move(handler), value = std::move(value), slot]() mutable {
      if (slot.is_connected()) slot.clear();
      std::move(handler)(std::move(value));
    });
  }

  template <typename U>
  friend std::pair<BoundedSender<U>, BoundedReceiver<U>> make_bounded_channel(std::size_t);
  explicit BoundedReceiver(std::shared_ptr<detail::BoundedChannelState<T>> state)
      : state_(std::move(state)) {}

  std::shared_ptr<detail::BoundedChannelState<T>> state_;
};

template <typename T>
std::pair<BoundedSender<T>, BoundedReceiver<T>> make_bounded_channel(std::size_t capacity) {
  auto state = std::make_shared<detail::BoundedChannelState<T>>(capacity);
  return {BoundedSender<T>(state), BoundedReceiver<T>(state)};
}

}  // namespace halvorine
