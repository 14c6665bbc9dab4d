// A gate for log lines that a client can make repeat per event: at most
// `limit` lines in each window (one second for per-event lines), the rest
// counted so that one summary line can say how many were not written.
// Not thread-safe: each throttle belongs to one thread.
#pragma once

#include <chrono>
#include <cstdint>

#include "common/clock.h"

namespace halvorine {

class BurstThrottle {
 public:
  // Whether the summary of a window is one of the next window's `limit`
  // lines (so that, with the summary of a closed connection, a window holds
  // at most `limit` + 1 lines), or comes on top of them.
  enum class Summary { on_top, within_limit };

  // `limit` lines (at least 1) per `window`.
  BurstThrottle(std::uint32_t limit, Clock::MonotonicTime::duration window, Summary summary = Summary::on_top)
      : limit_(limit), window_(window), summary_(summary) {}

  struct Verdict {
    // Lines suppressed in the window that has just ended; when non-zero, its
    // summary goes out before this line.
    std::uint64_t suppressed_before = 0;
    bool admit = false;  // write this line
  };

  // For one line at `now`. A window starts with the first line after the
  // previous one ended, so a quiet throttle admits at once.
  Verdict take(Clock::MonotonicTime now);

  // Lines suppressed so far in the current window, counted from 0 again: for
  // the summary when the lines stop (a closed connection). The window goes
  // on, so stopping and starting again admits no more lines. 0: nothing to
  // report.
  std::uint64_t flush();

 private:
  std::uint32_t limit_;
  Clock::MonotonicTime::duration window_;
  Summary summary_;
  bool open_ = false;  // a window is running
  Clock::MonotonicTime start_{};
  std::uint32_t admitted_ = 0;
  std::uint64_t suppressed_ = 0;
};

}  // namespace halvorine
