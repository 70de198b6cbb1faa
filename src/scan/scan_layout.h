#pragma once

#include "controller/fpp_client.h"
#include "controller/fpp_reconfigure.h"
#include "scan/scan_plan.h"

#include <cstdint>
#include <span>
#include <vector>

namespace pxo {

// The selected ports laid out as one block of channels for the scan.
//
// A port whose chain has null pixels between its strings is scanned as one
// string over the whole chain: the scan's LEDs are the chain's positions
// (null ones included, so every real pixel gets its own ID in wiring
// order), and `nodeOfLed` maps each position to the model's node: the real
// pixels numbered from 1 over the selected ports, 0 for a null position.
struct ScanLayout {
  std::vector<PortGroup> groups;        // for the scan plan
  std::vector<ScanPortSpec> portSpecs;  // for the controller's scan config
  std::vector<int32_t> channelOffsets;  // per LED, its first channel byte
  std::vector<int32_t> nodeOfLed;       // per LED, its model node or 0
  int32_t ledCount = 0;                 // positions the scan drives
  int32_t nodeCount = 0;                // real pixels among them
};

// Packs the selected ports, in list order and without gaps, after every
// channel the unselected ports keep driving (all their virtual strings
// counted) and the channels below `reservedEnd` (other outputs of the
// controller), or from channel 1 when nothing is in use. A selected port
// scans its first `scanPixelCount` pixels, or all of them when that is
// below 1.
ScanLayout computeScanLayout(std::span<const ControllerPort> ports,
                             int32_t reservedEnd = 0);

// The selected ports where they are, for a controller that is not
// reconfigured: each port's LEDs from its own start channel, in list order.
ScanLayout computeFixedLayout(std::span<const ControllerPort> ports);

}  // namespace pxo
