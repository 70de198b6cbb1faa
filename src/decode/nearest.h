#pragma once

#include <array>
#include <span>
#include <vector>

// Nearest neighbours among points in the plane.

namespace pxo {

// Per point, the distance to its nearest other point (infinity when there
// is none). The points are swept in x order, so spread points take
// O(n log n) rather than comparing every pair.
std::vector<double> nearestNeighbourDistances(
    std::span<const std::array<double, 2>> points);

}  // namespace pxo
