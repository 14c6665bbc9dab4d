// What the sending ends of both channels share: every copy of a sender is one
// more sender, and when the last one goes the channel closes for the
// receiver (State::last_sender_gone(), called with the lock released).
#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace halvorine::detail {

template <typename State>
class ChannelSenders {
 public:
  ChannelSenders(const ChannelSenders& other) : state_(other.state_) {
    if (state_) {
      std::lock_guard lock(state_->mutex);
      ++state_->senders;
    }
  }
  ChannelSenders(ChannelSenders&&) noexcept = default;
  ChannelSenders& operator=(ChannelSenders other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~ChannelSenders() {
    if (!state_) return;
    bool last;
    {
      std::lock_guard lock(state_->mutex);
      last = --state_->senders == 0;
    }
    if (last) state_->last_sender_gone();
  }

 protected:
  explicit ChannelSenders(std::shared_ptr<State> state) : state_(std::move(state)) {}

  std::shared_ptr<State> state_;
};

}  // namespace halvorine::detail
