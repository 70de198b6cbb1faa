#pragma once

#include "capture/capture_source.h"
#include "decode/decode_types.h"

#include <cstdint>

namespace pxo {

// A camera frame as the decoder's three planes (red, green, blue).
FramePlanes toFramePlanes(const pxowin::BgraFrame& frame);

// Extracts the frame shown at `time` and converts it; false when the
// extraction fails or the frame is empty. `timestamp` (optional) gets the
// frame's own time.
[[nodiscard]] bool extractPlanes(pxowin::ICaptureSource& camera,
                                 double time,
                                 int32_t maxDimension,
                                 FramePlanes* planes,
                                 int32_t* width,
                                 int32_t* height,
                                 double* timestamp = nullptr);

}  // namespace pxo
