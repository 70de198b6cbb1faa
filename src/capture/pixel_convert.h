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
