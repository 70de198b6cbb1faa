#include "capture/pixel_convert.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace pxowin {

namespace {

uint8_t clampByte(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

// BT.601 limited range in 8-bit fixed point.
void yuvToBgr(int y, int u, int v, uint8_t* out) {
  int c = 298 * (y - 16);
  int d = u - 128, e = v - 128;
  out[0] = clampByte((c + 516 * d + 128) >> 8);
  out[1] = clampByte((c - 100 * d - 208 * e + 128) >> 8);
  out[2] = clampByte((c + 409 * e + 128) >> 8);
  out[3] = 255;
}

}  // namespace

bool yuyvToBgra(std::span<const uint8_t> data,
                int32_t width,
                int32_t height,
                BgraFrame* out) {
  if (width < 2 || height < 1 || width % 2 != 0 ||
      data.size() < static_cast<size_t>(width) * height * 2)
    return false;
  out->width = width;
  out->height = height;
  out->stride = width * 4;
  out->pixels.resize(static_cast<size_t>(out->stride) * height);
  for (int32_t row = 0; row < height; ++row) {
    const uint8_t* src = data.data() + static_cast<size_t>(row) * width * 2;
    uint8_t* dst = out->pixels.data() + static_cast<size_t>(row) * out->stride;
    for (int32_t x = 0; x < width; x += 2, src += 4, dst += 8) {
      yuvToBgr(src[0], src[1], src[3], dst);
      yuvToBgr(src[2], src[1], src[3], dst + 4);
    }
  }
  return true;
}

bool yuv420ToBgra(const Yuv420Planes& planes,
                  int32_t maxDimension,
                  BgraFrame* out) {
  const int32_t width = planes.width, height = planes.height;
  if (width < 1 || height < 1 || !planes.y || !planes.u || !planes.v)
    return false;
  const auto [outWidth, outHeight] =
      downscaledSize(width, height, maxDimension);
  out->width = outWidth;
  out->height = outHeight;
  out->stride = outWidth * 4;
  out->pixels.resize(static_cast<size_t>(out->stride) * outHeight);
  // Source column of each output column, and its chroma byte offset.
  std::vector<int32_t> lumaColumn(static_cast<size_t>(outWidth));
  std::vector<int32_t> chromaColumn(static_cast<size_t>(outWidth));
  for (int32_t x = 0; x < outWidth; ++x) {
    const int32_t sx =
        outWidth == width ? x
                          : static_cast<int32_t>(int64_t{width} * x / outWidth);
    lumaColumn[size_t(x)] = sx;
    chromaColumn[size_t(x)] = (sx / 2) * planes.chromaStep;
  }
  for (int32_t y = 0; y < outHeight; ++y) {
    const int32_t sy =
        outHeight == height
            ? y
            : static_cast<int32_t>(int64_t{height} * y / outHeight);
    const uint8_t* luma =
        planes.y + static_cast<ptrdiff_t>(sy) * planes.yStride;
    const ptrdiff_t chromaRow =
        static_cast<ptrdiff_t>(sy / 2) * planes.chromaStride;
    const uint8_t* u = planes.u + chromaRow;
    const uint8_t* v = planes.v + chromaRow;
    uint8_t* dst = out->pixels.data() + static_cast<size_t>(y) * out->stride;
    for (int32_t x = 0; x < outWidth; ++x, dst += 4) {
      const int32_t c = chromaColumn[size_t(x)];
      yuvToBgr(luma[lumaColumn[size_t(x)]], u[c], v[c], dst);
    }
  }
  return true;
}

}  // namespace pxowin
