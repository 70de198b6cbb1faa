// A build without FFmpeg's encoder (Windows): a camera that would compress
// its frames cannot, and its scene fails to start with the encoder's error.

#include "sim/mjpeg_encoder.h"

namespace pxo::sim {

struct MjpegEncoder::State {};

MjpegEncoder::MjpegEncoder(int32_t quality)
    : state_(std::make_unique<State>()), quantiser_(quality) {}

MjpegEncoder::~MjpegEncoder() = default;

bool MjpegEncoder::encode(const pxowin::BgraFrame&, std::vector<uint8_t>*) {
  return false;
}

}  // namespace pxo::sim
