// The lines of a failed pipe-instance creation. The servers retry every 2
// seconds for as long as it fails (another process owns the name, another
// worker runs): each kind of line is written at most once a minute, or such
// a failure would fill the log (about 8 MB a day).
#pragma once

#include <chrono>
#include <string_view>

#include "common/burst_throttle.h"
#include "common/clock.h"
#include "common/error.h"
#include "common/logger.h"

namespace halvorine {

inline constexpr std::chrono::minutes kCreationFailureLogInterval{1};

class PipeCreationLog {
 public:
  // `failure_format` holds one {} for the error text. All three outlive this.
  PipeCreationLog(Logger& log, const Clock& clock, std::string_view failure_format)
      : log_(log), clock_(clock), failure_format_(failure_format) {}

  // Reports that creating an instance of pipe `name` failed with `error`.
  void report(std::string_view name, const Error& error);

 private:
  Logger& log_;
  const Clock& clock_;
  std::string_view failure_format_;
  BurstThrottle taken_{1, kCreationFailureLogInterval};
  BurstThrottle failed_{1, kCreationFailureLogInterval};
};

}  // namespace halvorine
