#pragma once

#include <cstdint>

namespace pxo::platform {

struct LocalTime {
  int32_t year = 0;
  int32_t month = 0;  // 1 ... 12
  int32_t day = 0;
  int32_t hour = 0;
  int32_t minute = 0;
  int32_t second = 0;
};

// The wall-clock time now, in the local time zone.
LocalTime localTimeNow();

// The wall-clock time now, in UTC.
LocalTime utcTimeNow();

}  // namespace pxo::platform
