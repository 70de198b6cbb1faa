#include "recon3d/geometry.h"

#include <cmath>

namespace pxo {

bool resectCamera(std::span<const Vec3f> points,
                  std::span<const Vec2f> pixels,
                  const Mat3f& intrinsics,
                  Projection* projection) {
  if (points.size() != pixels.size() || points.size() < kMinResectionPoints)
    return false;
  const double fx = intrinsics[0], fy = intrinsics[4];
  const double cx = intrinsics[2], cy = intrinsics[5];
  if (!(std::abs(fx) >= 1e-9) || !(std::abs(fy) >= 1e-9)) return false;

  // Normalised coordinates through K⁻¹ (K has no skew), then the 2p × 12
  // direct linear transform for M = [A | b] as its normal matrix.
  std::array<double, 144> normal{};
  for (size_t i = 0; i < points.size(); ++i) {
    const double xn = (pixels[i][0] - cx) / fx, yn = (pixels[i][1] - cy) / fy;
    const std::array<double, 4> h = {
        points[i][0], points[i][1], points[i][2], 1};
    for (int axis = 0; axis < 2; ++axis) {
      std::array<double, 12> row{};
      const double coordinate = axis == 0 ? xn : yn;
      for (size_t k = 0; k < 4; ++k) {
        row[static_cast<size_t>(axis) * 4 + k] = h[k];
        row[8 + k] = -coordinate * h[k];
      }
      for (size_t r = 0; r < 12; ++r)
        for (size_t c = r; c < 12; ++c) normal[r * 12 + c] += row[r] * row[c];
    }
  }
  std::array<double, 12> m = smallestEigenvector<double, 12>(normal);
  Mat3d a = {m[0], m[1], m[2], m[4], m[5], m[6], m[8], m[9], m[10]};
  Vec3d b = {m[3], m[7], m[11]};
  if (determinant(a) < 0) {
    for (double& v : a) v = -v;
    for (double& v : b) v = -v;
  }

  Svd3 svd = svd3(a);
  if (determinant(svd.u) * determinant(svd.v) < 0)
    for (size_t r = 0; r < 3; ++r) svd.u[r * 3 + 2] = -svd.u[r * 3 + 2];
  const Mat3d rotation = multiply(svd.u, transpose(svd.v));
  const double scale = (svd.s[0] + svd.s[1] + svd.s[2]) / 3;
  if (!(scale >= 1e-12)) return false;
  const Vec3d translation = {b[0] / scale, b[1] / scale, b[2] / scale};

  size_t inFront = 0;
  for (const Vec3f& p : points) {
    const double depth = rotation[6] * p[0] + rotation[7] * p[1] +
                         rotation[8] * p[2] + translation[2];
    if (depth > 0) ++inFront;
  }
  if (inFront * 2 < points.size()) return false;

  Mat3f r{};
  Vec3f t{};
  for (size_t i = 0; i < 9; ++i) r[i] = static_cast<float>(rotation[i]);
  for (size_t i = 0; i < 3; ++i) t[i] = static_cast<float>(translation[i]);
  *projection = makeProjection(intrinsics, r, t);
  return true;
}

}  // namespace pxo
