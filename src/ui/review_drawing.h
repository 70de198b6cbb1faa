#pragma once

#include "output/model_writer.h"
#include "recon3d/scan_view.h"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

// The review preview as drawing primitives: what the window paints after a
// scan, computed from the session's points, independent of any toolkit.

namespace pxo::ui {

struct Rgb {
  uint8_t r = 0;
  uint8_t g = 0;
  uint8_t b = 0;
  bool operator==(const Rgb&) const = default;
};

struct Dot {
  double x = 0;
  double y = 0;
  double radius = 3;
  Rgb colour;
};

// Painted in this order: the background, a 1-pixel line through `path`,
// then the dots (filled, no outline).
struct ReviewDrawing {
  Rgb background{26, 26, 26};
  Rgb lineColour;
  std::vector<std::array<double, 2>> path;
  std::vector<Dot> dots;
};

// How the 3D review is turned and zoomed.
struct ReviewCamera {
  double yaw = 0;  // radians
  double pitch = 0;
  double zoom = 1;

  // A drag of (dx, dy) pixels with the left button.
  void drag(double dx, double dy) {
    yaw += 0.01 * dx;
    pitch += 0.01 * dy;
  }
  // Wheel notches: positive away from the user (zoom in).
  void wheel(int32_t notches);
};

// The last view's points (image x, y and the estimated flag, wiring order)
// fitted into a width × height control with a 16-pixel margin.
ReviewDrawing drawReview2D(std::span<const ViewPoint> points,
                           double width,
                           double height);

// The 3D points (wiring order; a non-zero flag: interpolated, drawn as
// estimated) centred on their mean, turned by the camera and shaded by
// depth, back to front.
ReviewDrawing drawReview3D(std::span<const ModelPoint3D> points,
                           const ReviewCamera& camera,
                           double width,
                           double height);

}  // namespace pxo::ui
