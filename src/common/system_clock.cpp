#include <thread>

#include "common/clock.h"

namespace halvorine {

Clock::MonotonicTime SystemClock::monotonic_now() const { return std::chrono::steady_clock::now(); }

Clock::SystemTime SystemClock::system_now() const { return std::chrono::system_clock::now(); }

void SystemClock::sleep_for(std::chrono::nanoseconds duration) const {
  std::this_thread::sleep_for(duration);
}

}  // namespace halvorine
