#include "common/clock.h"
#include "common/win/win_sdk.h"

namespace halvorine {

LocalTime SystemClock::local_now() const {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return LocalTime{
      .year = now.wYear,
      .month = now.wMonth,
      .day = now.wDay,
      .hour = now.wHour,
      .minute = now.wMinute,
      .second = now.wSecond,
      .milliseconds = now.wMilliseconds,
  };
}

}  // namespace halvorine
