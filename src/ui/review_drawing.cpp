#include "ui/review_drawing.h"

#include <algorithm>
#include <cmath>

namespace pxo::ui {

namespace {

constexpr Rgb kFirst{40, 255, 40};
constexpr Rgb kEstimated{255, 150, 30};
constexpr Rgb kMeasured{255, 255, 255};
constexpr double kMargin = 32;  // both sides together
constexpr double kWheelStep = 1.1;

uint8_t shade(double value, double s) {
  return static_cast<uint8_t>(std::lround(std::clamp(value * s, 0.0, 255.0)));
}

}  // namespace

void ReviewCamera::wheel(int32_t notches) {
  zoom *= std::pow(kWheelStep, notches);
}

ReviewDrawing drawReview2D(std::span<const ViewPoint> points,
                           double width,
                           double height) {
  ReviewDrawing drawing;
  drawing.lineColour = {90, 90, 90};
  if (points.empty()) return drawing;
  double minX = points[0].x, maxX = minX, minY = points[0].y, maxY = minY;
  for (const ViewPoint& p : points) {
    minX = std::min(minX, double{p.x});
    maxX = std::max(maxX, double{p.x});
    minY = std::min(minY, double{p.y});
    maxY = std::max(maxY, double{p.y});
  }
  const double spanX = maxX - minX > 0 ? maxX - minX : 1;
  const double spanY = maxY - minY > 0 ? maxY - minY : 1;
  const double scale =
      std::min((width - kMargin) / spanX, (height - kMargin) / spanY);
  const double left = (width - (maxX - minX) * scale) / 2;
  const double top = (height - (maxY - minY) * scale) / 2;
  for (size_t i = 0; i < points.size(); ++i) {
    const double x = left + (points[i].x - minX) * scale;
    const double y = top + (points[i].y - minY) * scale;
    drawing.path.push_back({x, y});
    const Rgb colour = i == 0                ? kFirst
                       : points[i].estimated ? kEstimated
                                             : kMeasured;
    drawing.dots.push_back({x, y, 3, colour});
  }
  return drawing;
}

ReviewDrawing drawReview3D(std::span<const ModelPoint3D> points,
                           const ReviewCamera& camera,
                           double width,
                           double height) {
  ReviewDrawing drawing;
  drawing.lineColour = {70, 70, 70};
  if (points.empty()) return drawing;
  double mean[3] = {0, 0, 0};
  for (const ModelPoint3D& p : points) {
    mean[0] += p.x;
    mean[1] += p.y;
    mean[2] += p.z;
  }
  for (double& m : mean) m /= static_cast<double>(points.size());
  double radius = 0.001;
  for (const ModelPoint3D& p : points)
    radius = std::max(radius,
                      std::hypot(p.x - mean[0], p.y - mean[1], p.z - mean[2]));
  const double cy = std::cos(camera.yaw), sy = std::sin(camera.yaw);
  const double cp = std::cos(camera.pitch), sp = std::sin(camera.pitch);
  const double scale = std::min(width, height) * 0.42 / radius * camera.zoom;
  struct Placed {
    double x, y, depth;
    size_t index;
  };
  std::vector<Placed> placed;
  placed.reserve(points.size());
  for (size_t i = 0; i < points.size(); ++i) {
    const double x = points[i].x - mean[0];
    const double y = points[i].y - mean[1];
    const double z = points[i].z - mean[2];
    // Yaw about the vertical axis, then pitch about the horizontal one.
    const double x1 = cy * x + sy * z;
    const double z1 = -sy * x + cy * z;
    const double y2 = cp * y - sp * z1;
    const double z2 = sp * y + cp * z1;
    // Model y grows upwards, screen y downwards.
    placed.push_back({width / 2 + x1 * scale, height / 2 - y2 * scale, z2, i});
    drawing.path.push_back({placed.back().x, placed.back().y});
  }
  // Depth grows towards the viewer (on the +z side): back to front is
  // ascending depth, and nearer dots are brighter.
  std::stable_sort(
      placed.begin(), placed.end(), [](const Placed& a, const Placed& b) {
        return a.depth < b.depth;
      });
  for (const Placed& p : placed) {
    const double s = std::clamp((p.depth / radius + 1) * 0.5, 0.25, 1.0);
    const bool isEstimated = points[p.index].flag != 0;
    Rgb colour = p.index == 0 ? kFirst
                 : isEstimated
                     ? Rgb{shade(255, s), shade(150, s), shade(30, s)}
                     : Rgb{shade(255, s), shade(255, s), shade(255, s)};
    drawing.dots.push_back({p.x, p.y, 3, colour});
  }
  return drawing;
}

}  // namespace pxo::ui
