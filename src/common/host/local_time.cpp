#include <sys/time.h>
#include <time.h>

#include "common/clock.h"

namespace halvorine {

LocalTime SystemClock::local_now() const {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm fields{};
  localtime_r(&now.tv_sec, &fields);
  return LocalTime{
      .year = static_cast<std::uint16_t>(fields.tm_year + 1900),
      .month = static_cast<std::uint16_t>(fields.tm_mon + 1),
      .day = static_cast<std::uint16_t>(fields.tm_mday),
      .hour = static_cast<std::uint16_t>(fields.tm_hour),
      .minute = static_cast<std::uint16_t>(fields.tm_min),
      .second = static_cast<std::uint16_t>(fields.tm_sec),
      .milliseconds = static_cast<std::uint16_t>(now.tv_nsec / 1'000'000),
  };
}

}  // namespace halvorine
