#include "common/line_budget.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "support/fake_clock.h"
#include "support/recording_logger.h"

namespace halvorine {
namespace {

using std::chrono::milliseconds;

TEST(LineBudget, ABurstThenOneLineASecondWithTheCountOfTheRest) {
  struct Step {
    int at_ms;
    bool admit;
    std::uint64_t summary = 0;
  };
  const struct {
    const char* what;
    std::vector<Step> steps;
  } cases[] = {
      {"a burst, then counted", {{0, true}, {0, true}, {0, true}, {10, false}, {999, false}}},
      {"a second later: the count, and the line refilled",
       {{0, true}, {0, true}, {0, true}, {10, false}, {1010, true, 1}, {1011, false}, {2011, true, 1}}},
      {"a count comes only once a second of counting has passed",
       {{0, true}, {0, true}, {0, true}, {900, false}, {1000, true}, {1100, false}, {1899, false}, {1900, false, 3}}},
      {"quiet refills the whole burst, and no more",
       {{0, true}, {0, true}, {0, true}, {60000, true}, {60000, true}, {60000, true}, {60000, false}}},
      {"a clock that steps back refills nothing",
       {{5000, true}, {5000, true}, {5000, true}, {100, false}, {4000, false, 1}, {4500, false}}},
  };
  for (const auto& c : cases) {
    LineBudget budget(3);
    const Clock::MonotonicTime origin{std::chrono::hours(1)};
    for (const Step& step : c.steps) {
      const auto verdict = budget.take(origin + milliseconds(step.at_ms));
      EXPECT_EQ(verdict.admit, step.admit) << c.what << " at " << step.at_ms;
      EXPECT_EQ(verdict.summary, step.summary) << c.what << " at " << step.at_ms;
    }
  }
}

// A flood of a line every 10 ms for ten minutes: the burst, then two lines a
// second at most, and every line either written or counted in a summary.
TEST(LineBudget, AFloodWritesAtMostTwoLinesASecondAndLosesNoneUncounted) {
  testing::FakeClock clock;
  testing::RecordingLogger log;
  BudgetedLines lines(log, clock, "{} nelogate");
  constexpr int kLines = 60'000;
  for (int i = 0; i < kLines; ++i) {
    lines.write("line");
    clock.advance(milliseconds(10));
  }
  lines.flush();
  std::uint64_t written = 0, counted = 0;
  for (const std::string& line : log.lines()) {
    if (line == "line") {
      ++written;
    } else {
      counted += std::stoull(line);
    }
  }
  EXPECT_EQ(written + counted, std::uint64_t{kLines});
  EXPECT_LE(log.lines().size(), kClientLineBurst + 2 * 600 + 1);
  EXPECT_GE(written, kClientLineBurst + 599);
}

}  // namespace
}  // namespace halvorine
