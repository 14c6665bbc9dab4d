#include "common/line_budget.h"

#include <fmt/format.h>

namespace halvorine {

LineBudget::Verdict LineBudget::take(Clock::MonotonicTime now) {
  using std::chrono::seconds;
  if (!started_) {
    started_ = true;
    refilled_at_ = now;
  }
  // A clock that stepped back counts as no time passed.
  if (now > refilled_at_) {
    const auto whole = std::chrono::duration_cast<seconds>(now - refilled_at_).count();
    if (tokens_ + static_cast<std::uint64_t>(whole) >= burst_) {
      tokens_ = burst_;
      refilled_at_ = now;
    } else {
      tokens_ += static_cast<std::uint32_t>(whole);
      refilled_at_ += seconds(whole);
    }
  }
  Verdict verdict;
  if (suppressed_ != 0 && now > first_suppressed_at_ && now - first_suppressed_at_ >= seconds(1)) {
    verdict.summary = flush();
  }
  if (tokens_ > 0) {
    --tokens_;
    verdict.admit = true;
  } else if (suppressed_++ == 0) {
    first_suppressed_at_ = now;
  }
  return verdict;
}

bool BudgetedLines::admit() {
  const LineBudget::Verdict verdict = budget_.take(clock_.monotonic_now());
  summary(verdict.summary);
  return verdict.admit;
}

void BudgetedLines::flush() { summary(budget_.flush()); }

void BudgetedLines::summary(std::uint64_t count) {
  if (count != 0) log_.log(fmt::format(fmt::runtime(summary_format_), count));
}

}  // namespace halvorine
