#include "common/line_budget.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/fake_clock.h"
#include "support/recording_logger.h"

namespace halvorine {
namespace {

using std::chrono::milliseconds;

// A budget of 3. Steps: milliseconds, admitted, the count due before the line.
TEST(LineBudget, ABurstThenOneLineASecondWithTheCountOfTheRest) {
  const std::vector<std::vector<std::tuple<int, bool, int>>> cases = {
      {{0, 1, 0}, {0, 1, 0}, {0, 1, 0}, {10, 0, 0}, {1010, 1, 1}, {1011, 0, 0}, {2011, 1, 1}},
      // The count comes once a second of counting has passed, whatever was admitted meanwhile.
      {{0, 1, 0}, {0, 1, 0}, {0, 1, 0}, {900, 0, 0}, {1000, 1, 0}, {1100, 0, 0}, {1900, 0, 2}},
      // Quiet refills the whole burst and no more; a clock that steps back refills nothing.
      {{0, 1, 0}, {0, 1, 0}, {0, 1, 0}, {60000, 1, 0}, {60000, 1, 0}, {60000, 1, 0}, {60000, 0, 0}, {100, 0, 0}},
  };
  for (std::size_t c = 0; c < cases.size(); ++c) {
    LineBudget budget(3);
    for (const auto& [at, admit, summary] : cases[c]) {
      const auto verdict = budget.take(Clock::MonotonicTime{std::chrono::hours(1)} + milliseconds(at));
      EXPECT_EQ(verdict.admit, admit) << c << " at " << at;
      EXPECT_EQ(verdict.summary, static_cast<std::uint64_t>(summary)) << c << " at " << at;
    }
  }
}

// Ten minutes of a line every 10 ms: the burst, then at most two lines a
// second, and every line written or counted.
TEST(LineBudget, AFloodWritesAtMostTwoLinesASecondAndLosesNoneUncounted) {
  testing::FakeClock clock;
  testing::RecordingLogger log;
  BudgetedLines lines(log, clock, "{} nelogate");
  for (int i = 0; i < 60'000; ++i, clock.advance(milliseconds(10))) lines.write("line");
  lines.flush();
  std::uint64_t written = 0, counted = 0;
  for (const std::string& line : log.lines()) line == "line" ? ++written : counted += std::stoull(line);
  EXPECT_EQ(written + counted, 60'000u);
  EXPECT_LE(log.lines().size(), kClientLineBurst + 2 * 600 + 1);
  EXPECT_GE(written, kClientLineBurst + 599);
}

}  // namespace
}  // namespace halvorine
