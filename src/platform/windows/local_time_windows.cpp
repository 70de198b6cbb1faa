#include "platform/local_time.h"

#include <windows.h>

namespace pxo::platform {
namespace {

// GetLocalTime follows the system's time zone settings; the C runtime's
// localtime would read TZ with Microsoft's rules instead.
LocalTime fromSystemTime(const SYSTEMTIME& parts) {
  return {parts.wYear,
          parts.wMonth,
          parts.wDay,
          parts.wHour,
          parts.wMinute,
          parts.wSecond};
}

}  // namespace

LocalTime localTimeNow() {
  SYSTEMTIME parts{};
  ::GetLocalTime(&parts);
  return fromSystemTime(parts);
}

LocalTime utcTimeNow() {
  SYSTEMTIME parts{};
  ::GetSystemTime(&parts);
  return fromSystemTime(parts);
}

}  // namespace pxo::platform
