// Once-per-second gate for messages that could repeat on every event.
// Not thread-safe: each throttle belongs to one thread.
#pragma once

#include <optional>
#include <string_view>

#include "common/clock.h"
#include "common/logger.h"

namespace halvorine {

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

}  // namespace halvorine
