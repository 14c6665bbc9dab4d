// Log lines a client can cause at will: one or more per connection, per
// protocol violation, per Ctrl+Alt+Del. A client that repeats such events
// without end must not push everything else out of the log, so these lines
// draw on a budget: a burst of `burst` lines at once (some sixty
// connections' worth: more than a GUI, or a test, makes in a row; 16 KiB),
// refilled by one line a second. What is over budget is counted, and the count is
// written once a second while lines are being dropped (and with the next
// line after they stop), so a flood adds at most two lines a second, which
// take days to fill the log's two files, and says what it dropped.
// Not thread-safe: each belongs to one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>
#include <utility>

#include "common/clock.h"
#include "common/logger.h"

namespace halvorine {

inline constexpr std::uint32_t kClientLineBurst = 256;

class LineBudget {
 public:
  // `burst` at least 1.
  explicit LineBudget(std::uint32_t burst) : burst_(burst), tokens_(burst) {}

  struct Verdict {
    // Lines counted since the last summary, to be reported before this one;
    // 0 when it is not time yet (or there are none).
    std::uint64_t summary = 0;
    bool admit = false;  // write this line
  };

  // For one line at `now`.
  Verdict take(Clock::MonotonicTime now);

  // The lines counted and not yet reported, from 0 again (for a stop).
  std::uint64_t flush() { return std::exchange(suppressed_, 0); }

 private:
  std::uint32_t burst_;
  std::uint32_t tokens_;
  bool started_ = false;
  Clock::MonotonicTime refilled_at_{};
  std::uint64_t suppressed_ = 0;
  Clock::MonotonicTime first_suppressed_at_{};  // of the lines in suppressed_
};

// A LineBudget with the log it writes to and the text of its count.
class BudgetedLines {
 public:
  // `summary_format` holds one {} for the count. All three outlive this.
  BudgetedLines(Logger& log, const Clock& clock, std::string_view summary_format,
                std::uint32_t burst = kClientLineBurst)
      : log_(log), clock_(clock), summary_format_(summary_format), budget_(burst) {}

  // Whether a line may be written now; the count due before it is written here.
  bool admit();
  void write(std::string_view line) {
    if (admit()) log_.log(line);
  }
  // Writes the count of what was not written, if anything was not.
  void flush();

 private:
  void summary(std::uint64_t count);

  Logger& log_;
  const Clock& clock_;
  std::string_view summary_format_;
  LineBudget budget_;
};

}  // namespace halvorine
