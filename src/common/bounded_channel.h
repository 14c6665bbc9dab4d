// Bounded channel from a plain thread to an Asio task: the sender's try_send
// never blocks (a full or closed channel drops the value), the receiver
// awaits values on its executor. It closes for the receiver when every sender
// is gone, after delivering what was queued.
#pragma once

#include <asio/associated_executor.hpp>
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
};

}  // namespace detail

template <typename T>
class BoundedSender {
 public:
  BoundedSender(const BoundedSender& other) : state_(other.state_) {
    if (state_) {
      std::lock_guard lock(state_->mutex);
      ++state_->senders;
    }
  }
  BoundedSender(BoundedSender&&) noexcept = default;
  BoundedSender& operator=(BoundedSender other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~BoundedSender() { drop(); }

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
  explicit BoundedSender(std::shared_ptr<detail::BoundedChannelState<T>> state)
      : state_(std::move(state)) {}

  void drop() {
    if (!state_) return;
    std::move_only_function<void(std::optional<T>)> waiter;
    {
      std::lock_guard lock(state_->mutex);
      // A waiter exists only while the queue is empty: wake it with "closed".
      if (--state_->senders == 0 && state_->waiter) waiter = std::exchange(state_->waiter, nullptr);
    }
    if (waiter) waiter(std::nullopt);
    state_.reset();
  }

  std::shared_ptr<detail::BoundedChannelState<T>> state_;
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
  template <typename CompletionToken>
  auto async_receive(CompletionToken&& token) {
    return asio::async_initiate<CompletionToken, void(std::optional<T>)>(
        [state = state_](auto handler) {
          auto executor = asio::get_associated_executor(handler);
          auto work = asio::make_work_guard(executor);
          auto complete = [handler = std::move(handler), executor,
                           work = std::move(work)](std::optional<T> value) mutable {
            asio::post(executor, [handler = std::move(handler),
                                  value = std::move(value)]() mutable {
              std::move(handler)(std::move(value));
            });
            work.reset();
          };
          std::unique_lock lock(state->mutex);
          if (!state->queue.empty()) {
            std::optional<T> value(std::move(state->queue.front()));
            state->queue.pop_front();
            lock.unlock();
            complete(std::move(value));
          } else if (state->senders == 0) {
            lock.unlock();
            complete(std::nullopt);
          } else {
            state->waiter = std::move(complete);
          }
        },
        token);
  }

 private:
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
