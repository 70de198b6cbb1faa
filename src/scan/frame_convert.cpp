#include "scan/frame_convert.h"

namespace pxo {

FramePlanes toFramePlanes(const pxowin::BgraFrame& frame) {
  FramePlanes planes;
  const size_t pixels =
      static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height);
  for (auto& plane : planes.plane) plane.resize(pixels);
  for (int32_t y = 0; y < frame.height; ++y) {
    const uint8_t* row =
        frame.pixels.data() + static_cast<size_t>(y) * frame.stride;
    size_t at = static_cast<size_t>(y) * frame.width;
    for (int32_t x = 0; x < frame.width; ++x, ++at) {
      planes.plane[0][at] = row[size_t{4} * x + 2];
      planes.plane[1][at] = row[size_t{4} * x + 1];
      planes.plane[2][at] = row[size_t{4} * x];
    }
  }
  return planes;
}

bool extractPlanes(pxowin::ICaptureSource& camera,
                   double time,
                   int32_t maxDimension,
                   FramePlanes* planes,
                   int32_t* width,
                   int32_t* height,
                   double* timestamp) {
  pxowin::BgraFrame frame;
  if (!camera.extractFrame(time, maxDimension, frame, nullptr) ||
      frame.width < 1 || frame.height < 1 || frame.pixels.empty())
    return false;
  *planes = toFramePlanes(frame);
  *width = frame.width;
  *height = frame.height;
  if (timestamp) *timestamp = frame.timestamp;
  return true;
}

}  // namespace pxo
