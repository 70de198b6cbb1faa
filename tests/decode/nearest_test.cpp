#include "decode/nearest.h"

#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

namespace pxo {
namespace {

std::vector<double> everyPair(const std::vector<std::array<double, 2>>& at) {
  std::vector<double> nearest(at.size(),
                              std::numeric_limits<double>::infinity());
  for (size_t i = 0; i < at.size(); ++i)
    for (size_t j = 0; j < at.size(); ++j)
      if (j != i)
        nearest[i] = std::min(
            nearest[i], std::hypot(at[j][0] - at[i][0], at[j][1] - at[i][1]));
  return nearest;
}

TEST(NearestNeighbourDistances, AgreesWithEveryPair) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> coordinate(-50, 50);
  for (size_t n : {0u, 1u, 2u, 3u, 50u, 700u}) {
    std::vector<std::array<double, 2>> at;
    for (size_t i = 0; i < n; ++i)
      at.push_back({coordinate(rng), coordinate(rng)});
    // Repeats and points in one column, as decoded LEDs can be.
    if (n > 10) {
      at[5] = at[4];
      for (size_t i = 6; i < 10; ++i) at[i] = {1.0, double(i)};
    }
    EXPECT_EQ(nearestNeighbourDistances(at), everyPair(at)) << n << " points";
  }
}

}  // namespace
}  // namespace pxo
