#include <thread>

#include "common/clock.h"

namespace halvorine {

Clock::MonotonicTime SystemClock::monotonic_now() const { return std::chrono::steady_clock::now(); }

Clock::SystemTime SystemClock::system_now() const { return std::chrono::system_clock::now(); }

void SystemClock::sleep_for(std::chrono::nanoseconds duration) const {
  const auto deadline = std::chrono::steady_clock::now() + duration;
  std::this_thread::sleep_for(duration);
  // mingw's runtime sleeps in whole milliseconds, rounded down (0.9 ms sleeps
  // not at all): top up what is left, rounded up, so that a sleep is never
  // shorter than asked (pacing relies on it).
  const auto now = std::chrono::steady_clock::now();
  if (now < deadline) {
    std::this_thread::sleep_for(std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
  }
}

}  // namespace halvorine
