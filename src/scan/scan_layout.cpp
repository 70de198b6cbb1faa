#include "scan/scan_layout.h"

#include <algorithm>

namespace pxo {

namespace {

int32_t channelsPerPixelOf(const ControllerPort& port) {
  return port.channelsPerPixel < 1 ? 3 : port.channelsPerPixel;
}

}  // namespace

ScanLayout computeScanLayout(std::span<const ControllerPort> ports,
                             int32_t reservedEnd) {
  ScanLayout layout;
  int64_t base = std::max(reservedEnd, 0);
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
    const int32_t pixels =
        port.scanPixelCount >= 1 ? port.scanPixelCount : port.pixelCount;
    if (pixels < 1) continue;
    // The chain positions up to the last pixel scanned.
    std::vector<int32_t> nodes;
    size_t nextNull = 0;
    for (int32_t real = 0; real < pixels;) {
      const auto position = static_cast<int32_t>(nodes.size());
      while (nextNull < port.innerNulls.size() &&
             port.innerNulls[nextNull] < position)
        ++nextNull;
      if (nextNull < port.innerNulls.size() &&
          port.innerNulls[nextNull] == position) {
        nodes.push_back(0);
      } else {
        ++real;
        nodes.push_back(layout.nodeCount + real);
      }
    }
    const auto count = static_cast<int32_t>(nodes.size());
    const int32_t cpp = channelsPerPixelOf(port);
    if (base + int64_t{count} * cpp > INT32_MAX) break;  // no room left
    auto start = static_cast<int32_t>(base);
    layout.groups.push_back({start, count, cpp});
    layout.portSpecs.push_back(
        {port.portNumber, start, count, cpp, port.nullNodes});
    for (int32_t j = 0; j < count; ++j)
      layout.channelOffsets.push_back(start + j * cpp);
    layout.nodeOfLed.insert(layout.nodeOfLed.end(), nodes.begin(), nodes.end());
    base += int64_t{count} * cpp;
    layout.ledCount += count;
    layout.nodeCount += pixels;
  }
  return layout;
}

}  // namespace pxo
