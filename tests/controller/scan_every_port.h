#pragma once

// The scan layout the controller tests use: every port with pixels, one
// after another from `firstChannel`.

#include "controller/fpp_client.h"
#include "controller/fpp_reconfigure.h"

#include <cstdint>
#include <vector>

namespace pxo::test {

inline std::vector<ScanPortSpec> scanEveryPort(const ControllerLink& link,
                                               int32_t firstChannel) {
  std::vector<ScanPortSpec> specs;
  int32_t channel = firstChannel;
  for (const ControllerPort& port : link.ports) {
    if (port.pixelCount < 1) continue;
    specs.push_back({port.portNumber,
                     channel,
                     port.pixelCount,
                     port.channelsPerPixel,
                     port.nullNodes});
    channel += port.pixelCount * port.channelsPerPixel;
  }
  return specs;
}

}  // namespace pxo::test
