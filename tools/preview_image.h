#pragma once

#include "capture/capture_source.h"
#include "decode/decode_types.h"

#include <string>
#include <vector>

namespace pxo::tools {

// Draws the decoded LEDs over a frame of the scan: the wiring order as a
// line, observed LEDs as rings with their ID, estimated ones in orange, the
// first in green; writes it as a PNG. False with a message on failure.
[[nodiscard]] bool writePreviewPng(const pxowin::BgraFrame& frame,
                                   const std::vector<DecodedLed>& leds,
                                   const std::string& path,
                                   std::string* error);

}  // namespace pxo::tools
