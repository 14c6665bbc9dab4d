// A Clock that only moves when a test moves it. sleep_for advances it.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>

#include "common/clock.h"

namespace halvorine::testing {

class FakeClock final : public Clock {
 public:
  MonotonicTime monotonic_now() const override {
    std::lock_guard lock(mutex_);
    return monotonic_;
  }
  SystemTime system_now() const override {
    std::lock_guard lock(mutex_);
    return system_;
  }
  LocalTime local_now() const override {
    std::lock_guard lock(mutex_);
    return local_;
  }
  void sleep_for(std::chrono::nanoseconds duration) const override {
    std::lock_guard lock(mutex_);
    monotonic_ += std::chrono::duration_cast<MonotonicTime::duration>(duration);
    system_ += std::chrono::duration_cast<SystemTime::duration>(duration);
    slept_ += duration;
  }

  void advance(std::chrono::nanoseconds duration) {
    std::lock_guard lock(mutex_);
    monotonic_ += std::chrono::duration_cast<MonotonicTime::duration>(duration);
    system_ += std::chrono::duration_cast<SystemTime::duration>(duration);
  }
  void set_system(SystemTime time) {
    std::lock_guard lock(mutex_);
    system_ = time;
  }
  void set_local(LocalTime time) {
    std::lock_guard lock(mutex_);
    local_ = time;
  }
  std::chrono::nanoseconds total_slept() const {
    std::lock_guard lock(mutex_);
    return slept_;
  }

 private:
  mutable std::mutex mutex_;
  // Far from the epoch so that "no time stored yet" never looks like a time.
  mutable MonotonicTime monotonic_{std::chrono::hours(1000)};
  mutable SystemTime system_{std::chrono::milliseconds(1733493600123)};
  LocalTime local_{2024, 12, 6, 16, 0, 0, 123};
  mutable std::chrono::nanoseconds slept_{0};
};

}  // namespace halvorine::testing
