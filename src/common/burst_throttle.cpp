#include "common/burst_throttle.h"

namespace halvorine {

BurstThrottle::Verdict BurstThrottle::take(Clock::MonotonicTime now) {
  Verdict verdict;
  // A clock that stepped back stays in the running window.
  if (open_ && now >= start_ && now - start_ >= window_) {
    verdict.suppressed_before = flush();
    open_ = false;
  }
  if (!open_) {
    open_ = true;
    start_ = now;
    admitted_ = summary_ == Summary::within_limit && verdict.suppressed_before != 0 ? 1 : 0;
  }
  if (admitted_ < limit_) {
    ++admitted_;
    verdict.admit = true;
  } else {
    ++suppressed_;
  }
  return verdict;
}

std::uint64_t BurstThrottle::flush() {
  const std::uint64_t suppressed = suppressed_;
  suppressed_ = 0;
  return suppressed;
}

}  // namespace halvorine
