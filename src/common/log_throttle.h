// Gates for log lines that could repeat on every event. Not thread-safe:
// each throttle belongs to one thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "common/logger.h"

namespace halvorine {

// At most one line per whole second.
class LogThrottle {
 public:
  // True (and remembers `now`) when no message went through in the last whole
  // second; a suppressed message leaves the remembered time unchanged.
  bool admit(Clock::MonotonicTime now);

  // Writes `message` to `log` when admitted at the clock's current time.
  void write(Logger& log, const Clock& clock, std::string_view message) {
    if (admit(clock.monotonic_now())) log.log(message);
  }

 private:
  std::optional<Clock::MonotonicTime> last_;
};

// One line per whole second while the condition stays the same, and at once
// whenever it changes: a new error is news, the same error again is not.
class RepeatThrottle {
 public:
  // `condition` names what the line reports (usually its own text; for a
  // line with a running count, the text without the count).
  bool admit(std::string_view condition, Clock::MonotonicTime now);

  // Writes `message` when admitted, with `message` as its own condition.
  void write(Logger& log, const Clock& clock, std::string_view message) {
    if (admit(message, clock.monotonic_now())) log.log(message);
  }

 private:
  std::string condition_;
  LogThrottle per_second_;
};

}  // namespace halvorine
