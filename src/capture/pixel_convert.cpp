#include "capture/pixel_convert.h"

#include <algorithm>

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

}  // namespace pxowin
