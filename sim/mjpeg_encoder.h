#pragma once

#include "capture/capture_source.h"

#include <cstdint>
#include <memory>
#include <vector>

// Motion-JPEG compression as a webcam applies it to its frames before they
// cross USB: 4:2:2 chroma at a given quality. The virtual camera compresses
// each frame and hands it to the product's own MJPEG decoder, as a real
// camera's frames reach it. Not thread safe: one encoder per camera.

namespace pxo::sim {

class MjpegEncoder {
 public:
  // `quality` 1 ... 100: 100 the finest (quantiser scale 2), 1 the
  // coarsest (31).
  explicit MjpegEncoder(int32_t quality);
  ~MjpegEncoder();
  MjpegEncoder(const MjpegEncoder&) = delete;
  MjpegEncoder& operator=(const MjpegEncoder&) = delete;

  // The frame as one JPEG picture; false when it cannot be encoded.
  [[nodiscard]] bool encode(const pxowin::BgraFrame& frame,
                            std::vector<uint8_t>* jpeg);

 private:
  struct State;
  std::unique_ptr<State> state_;
  int32_t quantiser_;
};

}  // namespace pxo::sim
