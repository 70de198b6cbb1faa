#include "recon3d/geometry.h"

#include <cmath>

namespace pxo {

Projection makeProjection(const Mat3f& k, const Mat3f& r, const Vec3f& t) {
  Projection p{};
  for (size_t row = 0; row < 3; ++row) {
    for (size_t c = 0; c < 3; ++c) {
      float sum = 0;
      for (size_t j = 0; j < 3; ++j) sum += k[row * 3 + j] * r[j * 3 + c];
      p[row * 4 + c] = sum;
    }
    float sum = 0;
    for (size_t j = 0; j < 3; ++j) sum += k[row * 3 + j] * t[j];
    p[row * 4 + 3] = sum;
  }
  return p;
}

bool triangulatePoint(std::span<const Observation> views, Vec3f* point) {
  if (views.size() < 2) return false;
  std::array<float, 16> normal{};
  for (const Observation& view : views) {
    const Projection& p = view.projection;
    for (int axis = 0; axis < 2; ++axis) {
      const float coordinate = view.pixel[static_cast<size_t>(axis)];
      std::array<float, 4> row{};
      for (size_t c = 0; c < 4; ++c)
        row[c] = coordinate * p[8 + c] - p[static_cast<size_t>(axis) * 4 + c];
      for (size_t r = 0; r < 4; ++r)
        for (size_t c = r; c < 4; ++c) normal[r * 4 + c] += row[r] * row[c];
    }
  }
  const std::array<float, 4> x = smallestEigenvector<float, 4>(normal);
  if (!(std::abs(x[3]) >= 1e-9f)) return false;
  const Vec3f found = {x[0] / x[3], x[1] / x[3], x[2] / x[3]};

  float squared = 0;
  for (const Observation& view : views) {
    const Projection& p = view.projection;
    float h[3];
    for (size_t r = 0; r < 3; ++r)
      h[r] = p[r * 4] * found[0] + p[r * 4 + 1] * found[1] +
             p[r * 4 + 2] * found[2] + p[r * 4 + 3];
    // A point behind a camera is a ghost of the linear solution: the same
    // rays meet there only projectively.
    if (!(h[2] > 0)) return false;
    const float du = view.pixel[0] - h[0] / h[2];
    const float dv = view.pixel[1] - h[1] / h[2];
    squared += du * du + dv * dv;
  }
  const float rms = std::sqrt(squared / static_cast<float>(views.size()));
  if (!(rms <= kMaxReprojectionRmsPx)) return false;
  *point = found;
  return true;
}

}  // namespace pxo
