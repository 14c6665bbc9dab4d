#include "common/burst_throttle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace halvorine {
namespace {

using std::chrono::milliseconds;

// Each step: a line at `at` ms; what it should give.
struct Step {
  int at;
  bool admit;
  std::uint64_t summary_before = 0;
};

TEST(BurstThrottle, AdmitsTheLimitPerWindowAndCountsTheRest) {
  const struct {
    const char* what;
    std::uint32_t limit;
    int window_ms;
    std::vector<Step> steps;
    std::uint64_t flushed;
  } cases[] = {
      {"a quiet throttle admits at once", 2, 1000, {{0, true}, {999, true}}, 0},
      {"past the limit lines are counted",
       2, 1000, {{0, true}, {1, true}, {2, false}, {500, false}}, 2},
      {"the next window starts with the summary of the last",
       2, 1000, {{0, true}, {1, true}, {2, false}, {1000, true, 1}, {1001, true}, {1002, false}}, 1},
      {"a window without suppressed lines has no summary", 2, 1000, {{0, true}, {1500, true}, {1600, true}}, 0},
      {"a window starts with its first line, not on a grid",
       1, 1000, {{0, true}, {1700, true}, {2600, false}, {2700, true, 1}}, 0},
      {"a clock that steps back stays in the window", 1, 1000, {{500, true}, {100, false}, {1499, false}}, 2},
      {"once a minute", 1, 60000, {{0, true}, {2000, false}, {58000, false}, {60000, true, 2}}, 0},
  };
  for (const auto& c : cases) {
    BurstThrottle throttle(c.limit, milliseconds(c.window_ms));
    const Clock::MonotonicTime origin{std::chrono::hours(1)};
    for (const Step& step : c.steps) {
      const auto verdict = throttle.take(origin + milliseconds(step.at));
      EXPECT_EQ(verdict.admit, step.admit) << c.what << " at " << step.at;
      EXPECT_EQ(verdict.suppressed_before, step.summary_before) << c.what << " at " << step.at;
    }
    EXPECT_EQ(throttle.flush(), c.flushed) << c.what;
    // The flush took the count; the window goes on.
    const auto same_window = throttle.take(origin + milliseconds(c.steps.back().at));
    const auto next_window = throttle.take(origin + milliseconds(c.steps.back().at + c.window_ms));
    EXPECT_EQ(same_window.suppressed_before, 0u) << c.what;
    EXPECT_EQ(next_window.suppressed_before, same_window.admit ? 0u : 1u) << c.what;
    EXPECT_TRUE(next_window.admit) << c.what;
  }
}

}  // namespace
}  // namespace halvorine
