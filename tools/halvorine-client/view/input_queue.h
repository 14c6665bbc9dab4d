// The bounded queue between the view's window thread and the thread that
// writes to the input pipe. When the worker stops reading and the queue
// fills, the pointer's moves are coalesced (a move replaces a move at the
// queue's end, so the newest position always goes), and a key or button
// message that finds the queue full is dropped: the caller reports it. A
// release whose press is queued or was sent is always taken, over the bound
// if need be (at most one per key or button), so that nothing the worker was
// told is pressed stays pressed. Not thread-safe: InputSender guards it.
#pragma once

#include <cstddef>
#include <deque>
#include <vector>

#include "input_messages.h"

namespace halvorine::client {

class InputQueue {
 public:
  explicit InputQueue(std::size_t capacity) : capacity_(capacity) {}

  // False when `message` was dropped (a key or button message, the queue full).
  bool push(const InputMessage& message);
  // Moves everything queued, in order, into `out` (cleared first).
  void take_all(std::vector<InputMessage>& out);
  // The connection is gone: nothing is queued or held any more.
  void clear();
  bool empty() const { return messages_.empty(); }
  std::size_t size() const { return messages_.size(); }

 private:
  // A key or button whose press was taken and whose release was not.
  struct Held {
    InputMessage::Kind kind;
    std::string_view key;
    std::uint8_t button;
    friend bool operator==(const Held&, const Held&) = default;
  };
  static Held held_of(const InputMessage& message) { return {message.kind, message.key, message.button}; }

  std::size_t capacity_;
  std::deque<InputMessage> messages_;
  std::vector<Held> held_;
};

}  // namespace halvorine::client
