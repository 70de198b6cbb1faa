#pragma once

#include "capture/capture_source.h"

#include <cstdint>
#include <cstdlib>

// Sample media both builds agree on: the Linux build writes them with its
// own writer and encoder (make_media_samples), the Windows build reads them
// with its own (mf_media_test). Frame i shows a white square on dark grey
// whose left edge moves 12 pixels a frame, so a frame read back tells which
// one it is.

namespace pxowin::samples {

constexpr int32_t kWidth = 640;
constexpr int32_t kHeight = 360;
constexpr double kFps = 30;
constexpr int32_t kFrames = 45;
constexpr int32_t kSquare = 40;
constexpr int32_t kSquareTop = 160;
constexpr uint8_t kBackground = 40;

inline int32_t squareLeft(int32_t frame) { return 10 + 12 * frame; }

inline BgraFrame frame(int32_t index) {
  BgraFrame f;
  f.width = kWidth;
  f.height = kHeight;
  f.stride = kWidth * 4;
  f.pixels.assign(static_cast<size_t>(f.stride) * kHeight, kBackground);
  for (int32_t y = kSquareTop; y < kSquareTop + kSquare; ++y)
    for (int32_t x = squareLeft(index); x < squareLeft(index) + kSquare; ++x)
      for (int c = 0; c < 3; ++c)
        f.pixels[static_cast<size_t>(y) * f.stride + x * 4 + c] = 255;
  for (size_t i = 3; i < f.pixels.size(); i += 4) f.pixels[i] = 255;
  f.timestamp = index / kFps;
  return f;
}

// Which sample frame `f` shows: the square's left edge found on its middle
// row (scaled back to the sample's width), or -1 when there is none.
inline int32_t whichFrame(const BgraFrame& f) {
  if (f.width < 1 || f.height < 1) return -1;
  const int32_t row = (kSquareTop + kSquare / 2) * f.height / kHeight;
  for (int32_t x = 0; x < f.width; ++x) {
    if (f.pixels[static_cast<size_t>(row) * f.stride + x * 4 + 1] > 150) {
      const int32_t left = x * kWidth / f.width;
      const int32_t index = (left - 10 + 6) / 12;
      return std::abs(squareLeft(index) - left) <= 4 ? index : -1;
    }
  }
  return -1;
}

}  // namespace pxowin::samples
