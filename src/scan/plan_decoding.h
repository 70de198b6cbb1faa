#pragma once

#include "decode/decode_types.h"
#include "scan/scan_plan.h"

#include <cstdint>
#include <string>
#include <vector>

// What the decoder is told about a scan plan: where each bit's frames are,
// how the colours rotate between passes, and the options for decoding the
// plan's frames at a given size.

namespace pxo {

struct PlanDecoding {
  FrameTables tables;
  // One colour shift per pass; empty when the plan's protocol is unknown.
  std::vector<int32_t> passShifts;

  // Defaults plus the plan's baseline and floods, the frame size and the
  // LED count; passShifts points into this object, so keep it in place
  // while the options are used. False with "invalid decode options: <the
  // check's message>" when they fail DecodeOptions::check.
  [[nodiscard]] bool options(const ScanPlan* plan,
                             int32_t width,
                             int32_t height,
                             int32_t ledCount,
                             DecodeOptions* out,
                             std::string* error) const;
};

PlanDecoding planDecoding(const ScanPlan* plan);

}  // namespace pxo
