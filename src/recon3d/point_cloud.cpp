#include "recon3d/reconstruct.h"

#include <algorithm>
#include <cmath>

namespace pxo {
namespace {

double distance(const Point3D& a, const Point3D& b) {
  return std::sqrt(double(a.x - b.x) * (a.x - b.x) +
                   double(a.y - b.y) * (a.y - b.y) +
                   double(a.z - b.z) * (a.z - b.z));
}

Vec3d powerIteration(const Mat3d& c) {
  const double start = 1 / std::sqrt(3.0);
  Vec3d v = {start, start, start};
  for (int i = 0; i < 40; ++i) {
    Vec3d w = {c[0] * v[0] + c[1] * v[1] + c[2] * v[2],
               c[3] * v[0] + c[4] * v[1] + c[5] * v[2],
               c[6] * v[0] + c[7] * v[1] + c[8] * v[2]};
    const double length = norm(w);
    if (length < 1e-30) break;
    v = {w[0] / length, w[1] / length, w[2] / length};
  }
  return v;
}

// Any unit vector at right angles to the unit vector `e`.
Vec3d perpendicular(const Vec3d& e) {
  const Vec3d axis = std::abs(e[0]) < 0.9 ? Vec3d{1, 0, 0} : Vec3d{0, 1, 0};
  Vec3d p = cross(e, axis);
  const double length = norm(p);
  return {p[0] / length, p[1] / length, p[2] / length};
}

}  // namespace

int32_t removeIsolatedPoints(std::vector<Point3D>* points) {
  const size_t n = points->size();
  if (n < 3) return 0;
  std::vector<double> gaps(n);  // gaps[i]: from point i − 1 to point i
  for (size_t i = 1; i < n; ++i)
    gaps[i] = distance((*points)[i - 1], (*points)[i]);
  std::vector<double> sorted(gaps.begin() + 1, gaps.end());
  std::sort(sorted.begin(), sorted.end());
  const size_t m = sorted.size();
  const double median =
      m % 2 ? sorted[m / 2] : (sorted[m / 2 - 1] + sorted[m / 2]) / 2;
  if (!(median > 0)) return 0;
  const double limit = 2.5 * median;
  std::vector<Point3D> kept;
  kept.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const bool inner = i > 0 && i + 1 < n;
    if (inner && gaps[i] > limit && gaps[i + 1] > limit) continue;
    kept.push_back((*points)[i]);
  }
  const auto removed = static_cast<int32_t>(n - kept.size());
  *points = std::move(kept);
  return removed;
}

int32_t interpolateMissingIds(const std::vector<int32_t>& ids,
                              std::vector<Point3D>* points) {
  if (points->empty()) return 0;
  std::vector<Point3D> merged;
  merged.reserve(std::max(ids.size(), points->size()));
  int32_t added = 0;
  size_t next = 0;  // the first present point with an ID >= the current one
  for (int32_t id : ids) {
    while (next < points->size() && (*points)[next].id < id)
      merged.push_back((*points)[next++]);
    if (next < points->size() && (*points)[next].id == id) continue;
    if (next == 0 || next == points->size()) continue;  // no a or no b
    const Point3D& a = (*points)[next - 1];
    const Point3D& b = (*points)[next];
    const float f = static_cast<float>(double(int64_t(id) - a.id) /
                                       double(int64_t(b.id) - a.id));
    merged.push_back({id,
                      a.x + (b.x - a.x) * f,
                      a.y + (b.y - a.y) * f,
                      a.z + (b.z - a.z) * f,
                      1});
    ++added;
  }
  while (next < points->size()) merged.push_back((*points)[next++]);
  *points = std::move(merged);
  return added;
}

void normaliseToPrincipalAxes(std::vector<Point3D>* points,
                              Solve3DResult* result) {
  if (points->empty()) return;
  const double count = static_cast<double>(points->size());
  Vec3d centroid{};
  for (const Point3D& p : *points) {
    centroid[0] += p.x;
    centroid[1] += p.y;
    centroid[2] += p.z;
  }
  for (double& c : centroid) c /= count;
  Mat3d scatter{};
  for (const Point3D& p : *points) {
    const Vec3d d = {p.x - centroid[0], p.y - centroid[1], p.z - centroid[2]};
    for (size_t r = 0; r < 3; ++r)
      for (size_t c = 0; c < 3; ++c) scatter[r * 3 + c] += d[r] * d[c];
  }

  const Vec3d e1 = powerIteration(scatter);
  const Vec3d ce1 = {
      scatter[0] * e1[0] + scatter[1] * e1[1] + scatter[2] * e1[2],
      scatter[3] * e1[0] + scatter[4] * e1[1] + scatter[5] * e1[2],
      scatter[6] * e1[0] + scatter[7] * e1[1] + scatter[8] * e1[2]};
  const double lambda1 = dot(e1, ce1);
  Mat3d deflated = scatter;
  for (size_t r = 0; r < 3; ++r)
    for (size_t c = 0; c < 3; ++c)
      deflated[r * 3 + c] -= lambda1 * e1[r] * e1[c];
  Vec3d e2 = powerIteration(deflated);
  const double along = dot(e2, e1);
  for (size_t i = 0; i < 3; ++i) e2[i] -= along * e1[i];
  double length = norm(e2);
  // Points on one line leave no second direction; any perpendicular does.
  if (length < 1e-12)
    e2 = perpendicular(e1);
  else
    for (double& v : e2) v /= length;
  Vec3d e3 = cross(e1, e2);
  length = norm(e3);
  for (double& v : e3) v /= length;

  std::vector<Vec3d> local;
  local.reserve(points->size());
  Vec3d low = {1e300, 1e300, 1e300}, high = {-1e300, -1e300, -1e300};
  double normalSquares = 0;
  for (const Point3D& p : *points) {
    const Vec3d d = {p.x - centroid[0], p.y - centroid[1], p.z - centroid[2]};
    const Vec3d q = {dot(e1, d), dot(e2, d), dot(e3, d)};
    for (size_t i = 0; i < 3; ++i) {
      low[i] = std::min(low[i], q[i]);
      high[i] = std::max(high[i], q[i]);
    }
    normalSquares += q[2] * q[2];
    local.push_back(q);
  }
  const double extentA = std::max(high[0] - low[0], 1e-4);
  const double extentB = std::max(high[1] - low[1], 1e-4);
  const double extentN = std::max(high[2] - low[2], 1e-4);
  const double thickness = std::sqrt(normalSquares / count);
  const bool planar = thickness / std::max(extentA, extentB) < 0.08;
  const double scale = std::max({extentA, extentB, extentN});
  for (size_t i = 0; i < points->size(); ++i) {
    Point3D& p = (*points)[i];
    p.x = static_cast<float>(local[i][0] / scale);
    p.y = static_cast<float>(local[i][1] / scale);
    p.z = planar ? 0.0f : static_cast<float>(local[i][2] / scale);
  }
  result->extentA = static_cast<float>(extentA);
  result->extentB = static_cast<float>(extentB);
  result->extentN = planar ? 0.0f : static_cast<float>(extentN);
  result->thicknessRms = static_cast<float>(thickness);
  result->planar = planar ? 1 : 0;
}

}  // namespace pxo
