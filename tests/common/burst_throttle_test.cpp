#include "common/burst_throttle.h"

#include <gtest/gtest.h>

#include <vector>

namespace halvorine {
namespace {

using std::chrono::milliseconds;

TEST(BurstThrottle, AdmitsTheLimitPerWindowAndCountsTheRest) {
  struct Step {
    int at_ms;
    bool admit;
    std::uint64_t summary_before = 0;
  };
  const struct {
    const char* what;
    std::uint32_t limit;
    int window_ms;
    std::vector<Step> steps;
    std::uint64_t flushed;
    BurstThrottle::Summary summary = BurstThrottle::Summary::on_top;
  } cases[] = {
      {"past the limit lines are counted", 2, 1000, {{0, true}, {1, true}, {2, false}, {999, false}}, 2},
      {"the next window starts with the last one's count",
       2, 1000, {{0, true}, {1, true}, {2, false}, {1000, true, 1}, {1001, true}, {1002, false}}, 1},
      {"which may be one of its lines",
       2, 1000, {{0, true}, {1, true}, {2, false}, {1000, true, 1}, {1001, false}}, 1, BurstThrottle::Summary::within_limit},
      {"a window starts with its first line; none without suppressed lines",
       1, 1000, {{0, true}, {1700, true}, {2600, false}, {2700, true, 1}}, 0},
      {"a clock that steps back stays in the window", 1, 1000, {{500, true}, {100, false}, {1499, false}}, 2},
      {"once a minute", 1, 60000, {{0, true}, {2000, false}, {58000, false}, {60000, true, 2}}, 0},
  };
  for (const auto& c : cases) {
    BurstThrottle throttle(c.limit, milliseconds(c.window_ms), c.summary);
    const Clock::MonotonicTime origin{std::chrono::hours(1)};
    for (const Step& step : c.steps) {
      const auto verdict = throttle.take(origin + milliseconds(step.at_ms));
      EXPECT_EQ(verdict.admit, step.admit) << c.what << " at " << step.at_ms;
      EXPECT_EQ(verdict.suppressed_before, step.summary_before) << c.what << " at " << step.at_ms;
    }
    // A flush takes the count; the window goes on, as full as it was.
    EXPECT_EQ(throttle.flush(), c.flushed) << c.what;
    EXPECT_FALSE(throttle.take(origin + milliseconds(c.steps.back().at_ms)).admit) << c.what;
  }
}

}  // namespace
}  // namespace halvorine
