#pragma once

#include <cstdint>
#include <vector>

// One camera view of a prop kept for the multi-view 3D solve: the decoded
// LED positions of a scan in that view's picture.

namespace pxo {

struct ViewPoint {
  int32_t id = 0;
  float x = 0;  // pixels of the view's frames
  float y = 0;
  bool estimated = false;
};

struct ScanView {
  float width = 0;
  float height = 0;
  std::vector<ViewPoint> points;
};

}  // namespace pxo
