#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

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

// `t` through a printf format taking year, month, day, hour, minute and
// second, in that order, as ints.
inline std::string formatTime(const LocalTime& t, const char* format) {
  char text[64];
  (void)std::snprintf(text,
                      sizeof text,
                      format,
                      t.year,
                      t.month,
                      t.day,
                      t.hour,
                      t.minute,
                      t.second);
  return text;
}

// A UTC time as ISO 8601 text: "2026-12-09T03:40:00Z".
inline std::string utcText(const LocalTime& t) {
  return formatTime(t, "%04d-%02d-%02dT%02d:%02d:%02dZ");
}

}  // namespace pxo::platform
