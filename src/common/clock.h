// Time as the worker reads it. Policy code (throttles, retries, pacing, log
// lines) takes a Clock so tests drive it with a fake one; nothing in the logic
// calls now() or sleeps on its own.
#pragma once

#include <chrono>
#include <cstdint>

namespace halvorine {

// Local wall-clock time as the platform reports it (Windows: SYSTEMTIME).
struct LocalTime {
  std::uint16_t year = 0;
  std::uint16_t month = 0;
  std::uint16_t day = 0;
  std::uint16_t hour = 0;
  std::uint16_t minute = 0;
  std::uint16_t second = 0;
  std::uint16_t milliseconds = 0;
  friend bool operator==(const LocalTime&, const LocalTime&) = default;
};

class Clock {
 public:
  using MonotonicTime = std::chrono::steady_clock::time_point;
  using SystemTime = std::chrono::system_clock::time_point;

  virtual ~Clock() = default;
  virtual MonotonicTime monotonic_now() const = 0;
  virtual SystemTime system_now() const = 0;
  virtual LocalTime local_now() const = 0;
  // Blocks the calling thread (never used on the Asio runtime's thread).
  virtual void sleep_for(std::chrono::nanoseconds duration) const = 0;
};

// The real clocks. Stateless; one instance may be shared by every thread.
class SystemClock final : public Clock {
 public:
  MonotonicTime monotonic_now() const override;
  SystemTime system_now() const override;
  LocalTime local_now() const override;
  void sleep_for(std::chrono::nanoseconds duration) const override;
};

}  // namespace halvorine
