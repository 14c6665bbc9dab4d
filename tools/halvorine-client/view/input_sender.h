// The view's input pipe, written off the window's thread. A thread of its
// own connects (and again a second after the worker went away) and writes
// what the window's thread queued, so a worker that stops reading holds up
// only that thread. The queue is an InputQueue of kInputQueueCapacity
// messages; every key or button message it drops, and every one that comes
// while the pipe is not connected, is reported on standard error: the first
// at once, then at most one line a second with the count.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "client_pipe.h"
#include "common/clock.h"
#include "input_messages.h"

namespace halvorine::client {

inline constexpr std::size_t kInputQueueCapacity = 1024;

class InputSender {
 public:
  // `clock` (for the lines' pace) outlives the sender.
  InputSender(std::string path, ServerCheck check, std::chrono::milliseconds retry, const Clock& clock);
  // stop(0) unless stopped before.
  ~InputSender();
  InputSender(const InputSender&) = delete;
  InputSender& operator=(const InputSender&) = delete;

  // Window thread; never blocks on the pipe.
  void send(const InputMessage& message);
  bool connected() const;
  // Once a second from the window's loop: the line for drops not reported yet.
  void report_drops();
  // Gives the thread up to `flush` to write what is queued (the releases at
  // the end), reports what it could not, and leaves it: the process may end
  // while it still waits for a worker that does not read.
  void stop(std::chrono::milliseconds flush);

 private:
  struct Shared;
  const Clock& clock_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace halvorine::client
