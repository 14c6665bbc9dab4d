// The pipe servers' retry pause, injectable so tests never wait for real.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <chrono>

namespace halvorine {

class AsyncSleep {
 public:
  virtual ~AsyncSleep() = default;
  // Completes after `duration`, yielding the runtime's thread meanwhile.
  virtual asio::awaitable<void> sleep(std::chrono::milliseconds duration) = 0;
};

// Sleeps on a steady_timer of the awaiting coroutine's executor.
class TimerSleep final : public AsyncSleep {
 public:
  asio::awaitable<void> sleep(std::chrono::milliseconds duration) override;
};

inline constexpr std::chrono::milliseconds kPipeRetryPause{2000};

}  // namespace halvorine
