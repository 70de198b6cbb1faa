#include "scan/scan_layout.h"

#include <algorithm>

namespace pxo {

namespace {

int32_t channelsPerPixelOf(const ControllerPort& port) {
  return port.channelsPerPixel < 1 ? 3 : port.channelsPerPixel;
}

}  // namespace

ScanLayout computeScanLayout(std::span<const ControllerPort> ports) {
  ScanLayout layout;
  int64_t base = 0;
  for (const ControllerPort& port : ports) {
    if (port.selected || port.pixelCount <= 0) continue;
    int64_t firstStringEnd =
        int64_t{port.startChannel} +
        int64_t{channelsPerPixelOf(port)} * port.pixelCount;
    base = std::max({base, firstStringEnd, int64_t{port.channelEnd}});
  }
  if (base < 1) base = 1;

  for (const ControllerPort& port : ports) {
    if (!port.selected) continue;
    int32_t count =
        port.scanPixelCount >= 1 ? port.scanPixelCount : port.pixelCount;
    if (count < 1) continue;
    int32_t cpp = channelsPerPixelOf(port);
    if (base + int64_t{count} * cpp > INT32_MAX) break;  // no room left
    auto start = static_cast<int32_t>(base);
    layout.groups.push_back({start, count, cpp});
    layout.portSpecs.push_back(
        {port.portNumber, start, count, cpp, port.nullNodes});
    for (int32_t j = 0; j < count; ++j)
      layout.channelOffsets.push_back(start + j * cpp);
    base += int64_t{count} * cpp;
    layout.ledCount += count;
  }
  return layout;
}

}  // namespace pxo
