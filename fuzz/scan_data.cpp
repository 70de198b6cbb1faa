// Any bytes as a saved scan's timeline and metadata (split at the first
// NUL byte, or all metadata when there is none): the reader must fail
// cleanly or give a bounded LED count, finite times, a plain video name and
// a noise within the picture's range; the view reader must fail cleanly or
// give LEDs of known IDs at finite places near a picture of sane size.

#include "output/scan_data.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const size_t split = bytes.find('\0');
  std::string_view timeline = split == std::string_view::npos
                                  ? R"({"patterns":[{}]})"
                                  : bytes.substr(0, split);
  std::string_view metadata =
      split == std::string_view::npos ? bytes : bytes.substr(split + 1);
  pxo::SavedView view;
  std::string error;
  if (pxo::parseSavedView(metadata, &view, &error)) {
    const float width = view.view.width, height = view.view.height;
    if (!(width >= 1 && width <= 1e5 && height >= 1 && height <= 1e5))
      __builtin_trap();
    for (const pxo::ViewPoint& p : view.view.points)
      if (p.id < 1 || p.id > view.totalLEDs || !(std::abs(p.x) <= 2 * width) ||
          !(std::abs(p.y) <= 2 * height))
        __builtin_trap();
  } else if (error.empty()) {
    __builtin_trap();
  }
  error.clear();
  pxo::SavedScan scan;
  if (!pxo::parseSavedScan(timeline, metadata, &scan, &error)) {
    if (error.empty()) __builtin_trap();
    return 0;
  }
  if (scan.totalLEDs < 1 || scan.totalLEDs > (1 << 20)) __builtin_trap();
  if (scan.timeline.empty()) __builtin_trap();
  for (const pxo::TimelineEntry& e : scan.timeline)
    if (!std::isfinite(e.videoTimeSeconds)) __builtin_trap();
  if (scan.videoFile.empty() || scan.videoFile.find('/') != std::string::npos ||
      scan.videoFile == "..")
    __builtin_trap();
  if (!(scan.settleOffsetSec >= 0 && scan.settleOffsetSec < 10))
    __builtin_trap();
  if (scan.cameraNoise)
    for (double n : *scan.cameraNoise)
      if (!(n >= 0 && n <= 255)) __builtin_trap();
  return 0;
}
