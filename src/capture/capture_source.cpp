#include "capture/capture_source.h"

#include <algorithm>
#include <cstring>
#include <tuple>

namespace pxowin {

std::pair<int32_t, int32_t> downscaledSize(int32_t width,
                                           int32_t height,
                                           int32_t maxDimension) {
  const int32_t longest = std::max(width, height);
  if (maxDimension < 1 || longest <= maxDimension) return {width, height};
  const double scale = double(maxDimension) / longest;
  // Sizes are positive, so adding a half and truncating rounds them.
  // NOLINTBEGIN(bugprone-incorrect-roundings)
  return {std::max(static_cast<int32_t>(width * scale + 0.5), 1),
          std::max(static_cast<int32_t>(height * scale + 0.5), 1)};
  // NOLINTEND(bugprone-incorrect-roundings)
}

BgraFrame downscaleFrame(BgraFrame&& frame, int32_t maxDimension) {
  if (maxDimension < 1 || std::max(frame.width, frame.height) <= maxDimension)
    return std::move(frame);
  return downscaleFrame(static_cast<const BgraFrame&>(frame), maxDimension);
}

BgraFrame downscaleFrame(const BgraFrame& frame, int32_t maxDimension) {
  const int32_t longest = std::max(frame.width, frame.height);
  if (maxDimension < 1 || longest <= maxDimension) return frame;
  const double scale = double(maxDimension) / longest;
  BgraFrame out;
  std::tie(out.width, out.height) =
      downscaledSize(frame.width, frame.height, maxDimension);
  out.stride = out.width * 4;
  out.timestamp = frame.timestamp;
  out.pixels.resize(static_cast<size_t>(out.stride) * out.height);
  for (int32_t y = 0; y < out.height; ++y) {
    int32_t sy = std::min(static_cast<int32_t>(y / scale), frame.height - 1);
    const uint8_t* row =
        frame.pixels.data() + static_cast<size_t>(sy) * frame.stride;
    uint8_t* dst = out.pixels.data() + static_cast<size_t>(y) * out.stride;
    for (int32_t x = 0; x < out.width; ++x) {
      int32_t sx = std::min(static_cast<int32_t>(x / scale), frame.width - 1);
      std::memcpy(dst + size_t{4} * x, row + size_t{4} * sx, 4);
    }
  }
  return out;
}

}  // namespace pxowin
