#include "scan/scan_layout.h"

#include <algorithm>

namespace pxo {

namespace {

int32_t channelsPerPixelOf(const ControllerPort& port) {
  return port.channelsPerPixel < 1 ? 3 : port.channelsPerPixel;
}

// Lays `port`'s scanned chain out from channel `start`: its LEDs, its plan
// group and its entry for the controller's scan configuration. The LEDs
// laid out, 0 for a port with nothing to scan, -1
// when the chain would run past the largest channel.
int32_t appendPort(ScanLayout* layout,
                   const ControllerPort& port,
                   int64_t start) {
  const int32_t pixels =
      port.scanPixelCount >= 1 ? port.scanPixelCount : port.pixelCount;
  if (pixels < 1) return 0;
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
      nodes.push_back(layout->nodeCount + real);
    }
  }
  const auto count = static_cast<int32_t>(nodes.size());
  const int32_t cpp = channelsPerPixelOf(port);
  if (start < 0 || start + int64_t{count} * cpp > INT32_MAX) return -1;
  const auto first = static_cast<int32_t>(start);
  layout->groups.push_back({first, count, cpp});
  layout->portSpecs.push_back(
      {port.portNumber, first, count, cpp, port.nullNodes});
  for (int32_t j = 0; j < count; ++j)
    layout->channelOffsets.push_back(first + j * cpp);
  layout->nodeOfLed.insert(layout->nodeOfLed.end(), nodes.begin(), nodes.end());
  layout->ledCount += count;
  layout->nodeCount += pixels;
  return count;
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
    const int32_t count = appendPort(&layout, port, base);
    if (count < 0) break;  // no room left
    base += int64_t{count} * channelsPerPixelOf(port);
  }
  return layout;
}

ScanLayout computeFixedLayout(std::span<const ControllerPort> ports) {
  ScanLayout layout;
  for (const ControllerPort& port : ports)
    if (port.selected && appendPort(&layout, port, port.startChannel) < 0)
      break;
  return layout;
}

}  // namespace pxo
