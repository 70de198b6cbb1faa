#include "decode/nearest.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>

namespace pxo {

std::vector<double> nearestNeighbourDistances(
    std::span<const std::array<double, 2>> points) {
  const size_t n = points.size();
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return points[a][0] < points[b][0];
  });
  std::vector<double> nearest(n, std::numeric_limits<double>::infinity());
  for (size_t k = 0; k < n; ++k) {
    const std::array<double, 2>& p = points[order[k]];
    double best2 = std::numeric_limits<double>::infinity();
    size_t best = n;
    auto consider = [&](size_t j) {
      const double dx = points[j][0] - p[0], dy = points[j][1] - p[1];
      const double d2 = dx * dx + dy * dy;
      if (d2 < best2) {
        best2 = d2;
        best = j;
      }
    };
    // Outwards from p in x order until the x gap alone exceeds the best.
    for (size_t j = k + 1; j < n; ++j) {
      const double dx = points[order[j]][0] - p[0];
      if (dx * dx > best2) break;
      consider(order[j]);
    }
    for (size_t j = k; j-- > 0;) {
      const double dx = p[0] - points[order[j]][0];
      if (dx * dx > best2) break;
      consider(order[j]);
    }
    if (best < n)
      nearest[order[k]] =
          std::hypot(points[best][0] - p[0], points[best][1] - p[1]);
  }
  return nearest;
}

}  // namespace pxo
