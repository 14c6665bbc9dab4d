#include "view/input_queue.h"

#include <algorithm>

namespace halvorine::client {

bool InputQueue::push(const InputMessage& message) {
  if (message.is_move()) {
    // Only the newest position matters; one move over the bound at most,
    // as the next one replaces it.
    if (!messages_.empty() && messages_.back().is_move()) {
      messages_.back() = message;
    } else {
      messages_.push_back(message);
    }
    return true;
  }
  const bool press_or_release = message.kind == InputMessage::Kind::key || message.button != 0;
  if (press_or_release && !message.pressed) {
    const auto held = std::find(held_.begin(), held_.end(), held_of(message));
    if (held != held_.end()) {
      held_.erase(held);
      messages_.push_back(message);
      return true;
    }
  }
  if (messages_.size() >= capacity_) return false;
  if (press_or_release && message.pressed && std::ranges::find(held_, held_of(message)) == held_.end()) {
    held_.push_back(held_of(message));
  }
  messages_.push_back(message);
  return true;
}

void InputQueue::take_all(std::vector<InputMessage>& out) {
  out.assign(messages_.begin(), messages_.end());
  messages_.clear();
}

void InputQueue::clear() {
  messages_.clear();
  held_.clear();
}

}  // namespace halvorine::client
