// Unbounded first-in first-out channel between threads: any number of
// senders, one receiver. Sending never blocks; receive() blocks the receiving
// thread. The channel closes for the receiver when every sender is gone, and
// it still delivers what was queued before it reports closed.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace halvorine {

template <typename T>
class UnboundedReceiver;

namespace detail {

template <typename T>
struct UnboundedChannelState {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<T> queue;
  std::size_t senders = 1;
  bool receiver_alive = true;
};

}  // namespace detail

template <typename T>
class UnboundedSender {
 public:
  // Copying clones the sending end; the channel stays open while any clone lives.
  UnboundedSender(const UnboundedSender& other) : state_(other.state_) {
    if (state_) {
      std::lock_guard lock(state_->mutex);
      ++state_->senders;
    }
  }
  UnboundedSender(UnboundedSender&&) noexcept = default;
  UnboundedSender& operator=(UnboundedSender other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~UnboundedSender() { drop(); }

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

 private:
  template <typename U>
  friend std::pair<UnboundedSender<U>, UnboundedReceiver<U>> make_unbounded_channel();
  explicit UnboundedSender(std::shared_ptr<detail::UnboundedChannelState<T>> state)
      : state_(std::move(state)) {}

  void drop() {
    if (!state_) return;
    bool last;
    {
      std::lock_guard lock(state_->mutex);
      last = --state_->senders == 0;
    }
    if (last) state_->ready.notify_all();
    state_.reset();
  }

  std::shared_ptr<detail::UnboundedChannelState<T>> state_;
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
    std::lock_guard lock(state_->mutex);
    state_->receiver_alive = false;
    state_->queue.clear();
  }

  // Waits for the next value; nullopt once every sender is gone and the queue is empty.
  std::optional<T> receive() {
    std::unique_lock lock(state_->mutex);
    state_->ready.wait(lock, [&] { return !state_->queue.empty() || state_->senders == 0; });
    return pop_locked();
  }

  // The next value if one is queued; nullopt otherwise (use closed() to tell why).
  std::optional<T> try_receive() {
    std::lock_guard lock(state_->mutex);
    return pop_locked();
  }

  bool closed() const {
    std::lock_guard lock(state_->mutex);
    return state_->queue.empty() && state_->senders == 0;
  }

 private:
  template <typename U>
  friend std::pair<UnboundedSender<U>, UnboundedReceiver<U>> make_unbounded_channel();
  explicit UnboundedReceiver(std::shared_ptr<detail::UnboundedChannelState<T>> state)
      : state_(std::move(state)) {}

  std::optional<T> pop_locked() {
    if (state_->queue.empty()) return std::nullopt;
    std::optional<T> value(std::move(state_->queue.front()));
    state_->queue.pop_front();
    return value;
  }

  std::shared_ptr<detail::UnboundedChannelState<T>> state_;
};

template <typename T>
std::pair<UnboundedSender<T>, UnboundedReceiver<T>> make_unbounded_channel() {
  auto state = std::make_shared<detail::UnboundedChannelState<T>>();
  return {UnboundedSender<T>(state), UnboundedReceiver<T>(state)};
}

}  // namespace halvorine
