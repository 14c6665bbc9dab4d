// Whether this worker serves: only the worker that holds the machine-wide
// lock gets pipe instances, and only that worker may touch the input
// desktop's key state at start (a second worker releasing keys would lift
// what the first one's client holds down). The input pipe server opens the
// latch once it has its first instance, and abandons it when it stops
// without ever having had one; the injection thread waits on it. Any thread.
#pragma once

#include <condition_variable>
#include <mutex>

namespace halvorine {

class ServingLatch {
 public:
  // This worker serves. Idempotent; after abandon() it changes nothing.
  void open() { settle(State::serving); }
  // This worker stops without having served. After open() it changes nothing.
  void abandon() { settle(State::abandoned); }

  // Blocks until open() (true) or abandon() (false), whichever came first.
  bool wait() {
    std::unique_lock lock(mutex_);
    settled_.wait(lock, [this] { return state_ != State::waiting; });
    return state_ == State::serving;
  }

 private:
  enum class State { waiting, serving, abandoned };

  void settle(State state) {
    {
      std::lock_guard lock(mutex_);
      if (state_ != State::waiting) return;
      state_ = state;
    }
    settled_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable settled_;
  State state_ = State::waiting;
};

}  // namespace halvorine
