#include "decode/id_geometry.h"

#include "decode/nearest.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace pxo {

double upperMedian(std::vector<double> values, double fallback) {
  if (values.empty()) return fallback;
  auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

IdNeighbours findIdNeighbours(std::span<const uint8_t> present,
                              int32_t ledCount,
                              int32_t k) {
  IdNeighbours n;
  auto isPresent = [&](int32_t id) {
    return id >= 1 && id <= ledCount &&
           static_cast<size_t>(id) < present.size() &&
           present[static_cast<size_t>(id)];
  };
  for (int32_t d = 1; d <= kNeighbourReach && k - d >= 1; ++d)
    if (isPresent(k - d)) {
      n.below = k - d;
      break;
    }
  for (int32_t d = 1; d <= kNeighbourReach && k + d <= ledCount; ++d)
    if (isPresent(k + d)) {
      n.above = k + d;
      break;
    }
  return n;
}

std::vector<int32_t> rejectIdOutliers(std::span<const IdPoint> points,
                                      int32_t ledCount,
                                      size_t capacity) {
  std::vector<uint8_t> present(static_cast<size_t>(std::max(ledCount, 0)) + 1,
                               0);
  std::vector<IdPoint> byId(present.size());
  std::vector<int32_t> kept;
  for (const IdPoint& p : points) {
    if (p.id < 1 || p.id > ledCount || present[static_cast<size_t>(p.id)])
      continue;
    present[static_cast<size_t>(p.id)] = 1;
    byId[static_cast<size_t>(p.id)] = p;
    kept.push_back(p.id);
  }
  std::sort(kept.begin(), kept.end());
  auto limited = [&](std::vector<int32_t> ids) {
    if (ids.size() > capacity) ids.resize(capacity);
    return ids;
  };
  if (ledCount < 1 || points.size() < 4 || kept.size() < 2)
    return limited(kept);

  std::vector<double> gaps;
  for (size_t i = 1; i < kept.size(); ++i) {
    const IdPoint& a = byId[static_cast<size_t>(kept[i - 1])];
    const IdPoint& b = byId[static_cast<size_t>(kept[i])];
    gaps.push_back(std::hypot(double(b.x - a.x), double(b.y - a.y)));
  }
  double d = upperMedian(gaps, 0);
  if (d < 1.0) return limited(kept);

  std::vector<int32_t> out;
  for (int32_t k : kept) {
    IdNeighbours n = findIdNeighbours(present, ledCount, k);
    double rx, ry;
    if (n.below && n.above) {
      const IdPoint& a = byId[static_cast<size_t>(n.below)];
      const IdPoint& b = byId[static_cast<size_t>(n.above)];
      rx = (a.x + b.x) * 0.5;
      ry = (a.y + b.y) * 0.5;
    } else if (n.below || n.above) {
      const IdPoint& a = byId[static_cast<size_t>(n.below ? n.below : n.above)];
      rx = a.x;
      ry = a.y;
    } else {
      out.push_back(k);
      continue;
    }
    const IdPoint& p = byId[static_cast<size_t>(k)];
    if (std::hypot(p.x - rx, p.y - ry) <= 4 * d) out.push_back(k);
  }
  return limited(out);
}

namespace {

struct Vec2 {
  double x, y;
};

Vec2 lerpById(Vec2 a, int32_t idA, Vec2 b, int32_t idB, int32_t k) {
  double f = double(k - idA) / double(idB - idA);
  return {a.x + (b.x - a.x) * f, a.y + (b.y - a.y) * f};
}

double distance(Vec2 a, Vec2 b) { return std::hypot(b.x - a.x, b.y - a.y); }

// Barry–Goldman evaluation of the chordal Catmull-Rom segment P1 ... P2.
Vec2 catmullRom(Vec2 p0, Vec2 p1, Vec2 p2, Vec2 p3, double u) {
  double t0 = 0;
  double t1 = t0 + std::max(distance(p0, p1), 0.0001);
  double t2 = t1 + std::max(distance(p1, p2), 0.0001);
  double t3 = t2 + std::max(distance(p2, p3), 0.0001);
  double t = t1 + (t2 - t1) * u;
  auto blend = [t](Vec2 p, Vec2 q, double a, double b) -> Vec2 {
    if (std::fabs(b - a) < 1e-9) return p;
    return {(p.x * (b - t) + q.x * (t - a)) / (b - a),
            (p.y * (b - t) + q.y * (t - a)) / (b - a)};
  };
  Vec2 a1 = blend(p0, p1, t0, t1);
  Vec2 a2 = blend(p1, p2, t1, t2);
  Vec2 a3 = blend(p2, p3, t2, t3);
  Vec2 b1 = blend(a1, a2, t0, t2);
  Vec2 b2 = blend(a2, a3, t1, t3);
  return blend(b1, b2, t1, t2);
}

}  // namespace

std::vector<EstimatedPoint> estimateMissingIds(
    std::span<const IdPointF> measured,
    int32_t ledCount,
    int32_t width,
    int32_t height,
    size_t capacity) {
  std::vector<EstimatedPoint> out;
  if (ledCount < 1) return out;
  const auto n = static_cast<size_t>(ledCount);
  std::vector<uint8_t> present(n + 1, 0);
  std::vector<Vec2> position(n + 1, Vec2{0, 0});
  for (const IdPointF& p : measured) {
    if (p.id < 1 || p.id > ledCount) continue;
    present[static_cast<size_t>(p.id)] = 1;
    position[static_cast<size_t>(p.id)] = {p.x, p.y};
  }

  double spacing = -1;
  if (measured.size() >= 4) {
    std::vector<std::array<double, 2>> at;
    at.reserve(measured.size());
    for (const IdPointF& p : measured) at.push_back({p.x, p.y});
    std::vector<double> nearest = nearestNeighbourDistances(at);
    std::erase_if(nearest, [](double d) { return !std::isfinite(d); });
    spacing = upperMedian(nearest, -1);
  }
  const double gapLimit = 3 * std::max(spacing, 0.0);

  // Measured IDs in order, to find neighbours on either side quickly.
  std::vector<int32_t> ids;
  for (size_t k = 1; k <= n; ++k)
    if (present[k]) ids.push_back(static_cast<int32_t>(k));
  if (ids.empty()) return out;

  const double scale = std::max(width, height);
  for (int32_t k = 1; k <= ledCount && out.size() < capacity; ++k) {
    if (present[static_cast<size_t>(k)]) continue;
    auto upper = std::lower_bound(ids.begin(), ids.end(), k);
    size_t above = static_cast<size_t>(ids.end() - upper);
    size_t below = static_cast<size_t>(upper - ids.begin());
    auto at = [&](int32_t id) { return position[static_cast<size_t>(id)]; };
    Vec2 p;
    if (below == 0) {
      int32_t u1 = upper[0];
      p = above >= 2 ? lerpById(at(u1), u1, at(upper[1]), upper[1], k) : at(u1);
    } else if (above == 0) {
      int32_t l1 = upper[-1];
      p = below >= 2 ? lerpById(at(l1), l1, at(upper[-2]), upper[-2], k)
                     : at(l1);
    } else {
      int32_t l1 = upper[-1], u1 = upper[0];
      bool farApart = gapLimit > 0 && distance(at(l1), at(u1)) > gapLimit;
      if (farApart || below < 2 || above < 2) {
        p = lerpById(at(l1), l1, at(u1), u1, k);
      } else {
        double u = double(k - l1) / double(u1 - l1);
        p = catmullRom(at(upper[-2]), at(l1), at(u1), at(upper[1]), u);
      }
    }
    p.x = std::max(std::min(p.x, double(width - 1)), 0.0);
    p.y = std::max(std::min(p.y, double(height - 1)), 0.0);
    out.push_back({k,
                   p.x,
                   p.y,
                   static_cast<float>(p.x / scale),
                   static_cast<float>(p.y / scale)});
  }
  return out;
}

}  // namespace pxo
