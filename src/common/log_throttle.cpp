#include "common/log_throttle.h"

#include <chrono>

namespace halvorine {

bool LogThrottle::admit(Clock::MonotonicTime now) {
  if (last_) {
    // A clock that stepped back counts as no time passed.
    const auto elapsed = now > *last_ ? now - *last_ : Clock::MonotonicTime::duration::zero();
    if (elapsed < std::chrono::seconds(1)) return false;
  }
  last_ = now;
  return true;
}

bool RepeatThrottle::admit(std::string_view condition, Clock::MonotonicTime now) {
  if (condition != condition_) {
    condition_.assign(condition);
    per_second_ = LogThrottle();
  }
  return per_second_.admit(now);
}

}  // namespace halvorine
