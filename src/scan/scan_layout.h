#pragma once

#include "controller/fpp_client.h"
#include "controller/fpp_reconfigure.h"
#include "scan/scan_plan.h"

#include <cstdint>
#include <span>
#include <vector>

namespace pxo {

// The selected ports laid out as one block of channels for the scan.
struct ScanLayout {
  std::vector<PortGroup> groups;        // for the scan plan
  std::vector<ScanPortSpec> portSpecs;  // for the controller's scan config
  std::vector<int32_t> channelOffsets;  // per LED, its first channel byte
  int32_t ledCount = 0;
};

// Packs the selected ports, in list order and without gaps, after every
// channel the unselected ports keep driving (all their virtual strings
// counted), or from channel 1 when they drive none. A selected port scans
// its `scanPixelCount` pixels, or all of them when that is below 1.
ScanLayout computeScanLayout(std::span<const ControllerPort> ports);

}  // namespace pxo
