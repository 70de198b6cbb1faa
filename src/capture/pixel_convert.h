#pragma once

#include "capture/capture_source.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

// Camera pixel formats to BGRA.

namespace pxowin {

// Packed YUYV 4:2:2 (BT.601, limited range) to BGRA; false when `data` is
// shorter than width × height × 2 bytes or the size is odd or empty.
[[nodiscard]] bool yuyvToBgra(std::span<const uint8_t> data,
                              int32_t width,
                              int32_t height,
                              BgraFrame* out);

// One decoded 4:2:0 picture: a luma plane and a chroma plane pair, either
// NV12 (one interleaved U/V plane: `v` = `u` + 1, `chromaStep` 2) or planar
// (separate U and V planes, `chromaStep` 1). Chroma rows are half as many
// as luma rows.
struct Yuv420Planes {
  const uint8_t* y = nullptr;
  const uint8_t* u = nullptr;
  const uint8_t* v = nullptr;
  int32_t yStride = 0;
  int32_t chromaStride = 0;
  int32_t chromaStep = 1;  // bytes from one chroma sample to the next
  int32_t width = 0;
  int32_t height = 0;
};

// The picture to BGRA (BT.601 limited range, integer arithmetic), reduced
// by nearest neighbour so that its longer side is at most `maxDimension`
// (full size when that is below 1 or not smaller). False for an empty
// picture.
[[nodiscard]] bool yuv420ToBgra(const Yuv420Planes& planes,
                                int32_t maxDimension,
                                BgraFrame* out);

// Motion-JPEG frames to BGRA (one decoder per camera, reused per frame).
class MjpegDecoder {
 public:
  virtual ~MjpegDecoder() = default;
  [[nodiscard]] virtual bool decode(std::span<const uint8_t> jpeg,
                                    BgraFrame* out,
                                    std::string* error) = 0;
};
std::unique_ptr<MjpegDecoder> createMjpegDecoder();

}  // namespace pxowin
