// A Logger that counts what each line would add to the log file, in the
// first and in the second minute after `start` by its clock.
#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>

#include "common/clock.h"
#include "common/logger.h"

namespace halvorine::testing {

class SizedLog final : public Logger {
 public:
  explicit SizedLog(const Clock& clock) : clock_(clock) {}
  // "[ms] [local] message\n": 42 bytes around the message.
  void log(std::string_view message) override {
    (clock_.monotonic_now() - start < std::chrono::seconds(60) ? first_minute : second_minute) +=
        42 + message.size() + 1;
    if (message.starts_with("ENCODER enum: gasit")) ++enumerations;
  }
  Clock::MonotonicTime start{};
  std::size_t first_minute = 0, second_minute = 0;
  int enumerations = 0;

 private:
  const Clock& clock_;
};

}  // namespace halvorine::testing
