#include "platform/local_time.h"

#include <ctime>

namespace pxo::platform {
namespace {

LocalTime fromParts(const std::tm& parts) {
  return {parts.tm_year + 1900,
          parts.tm_mon + 1,
          parts.tm_mday,
          parts.tm_hour,
          parts.tm_min,
          parts.tm_sec};
}

}  // namespace

LocalTime localTimeNow() {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  localtime_r(&now, &parts);  // localtime is not thread safe
  return fromParts(parts);
}

LocalTime utcTimeNow() {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  return fromParts(parts);
}

}  // namespace pxo::platform
