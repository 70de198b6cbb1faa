#include "recon3d/linalg.h"

#include <cmath>
#include <random>

#include <gtest/gtest.h>

namespace pxo {
namespace {

template <size_t N>
std::array<double, N * N> randomSymmetric(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> value(-5, 5);
  std::array<double, N * N> a{};
  for (size_t r = 0; r < N; ++r)
    for (size_t c = r; c < N; ++c) a[r * N + c] = a[c * N + r] = value(rng);
  return a;
}

TEST(JacobiEigen, DecomposesSymmetricMatrices) {
  std::mt19937_64 rng(7);
  for (int trial = 0; trial < 20; ++trial) {
    const auto a = randomSymmetric<12>(rng);
    const SymmetricEigen<double, 12> e = jacobiEigen<double, 12>(a);
    for (size_t r = 0; r < 12; ++r)
      for (size_t c = 0; c < 12; ++c) {
        double rebuilt = 0, gram = 0;
        for (size_t k = 0; k < 12; ++k) {
          rebuilt +=
              e.vectors[r * 12 + k] * e.values[k] * e.vectors[c * 12 + k];
          gram += e.vectors[k * 12 + r] * e.vectors[k * 12 + c];
        }
        EXPECT_NEAR(rebuilt, a[r * 12 + c], 1e-9);
        EXPECT_NEAR(gram, r == c ? 1.0 : 0.0, 1e-12);
      }
  }
}

TEST(JacobiEigen, SmallestEigenvectorTakesTheFirstOfEqualOnes) {
  // Already diagonal: no rotation happens, so ties are decided by order.
  const std::array<double, 81> a = {3, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                    0, 1, 0, 0, 0, 0, 0, 0, 0,  //
                                    0, 0, 2, 0, 0, 0, 0, 0, 0,  //
                                    0, 0, 0, 1, 0, 0, 0, 0, 0,  //
                                    0, 0, 0, 0, 4, 0, 0, 0, 0,  //
                                    0, 0, 0, 0, 0, 5, 0, 0, 0,  //
                                    0, 0, 0, 0, 0, 0, 6, 0, 0,  //
                                    0, 0, 0, 0, 0, 0, 0, 7, 0,  //
                                    0, 0, 0, 0, 0, 0, 0, 0, 8};
  double value = 0;
  const auto v = smallestEigenvector<double, 9>(a, &value);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(v[1], 1);
  EXPECT_EQ(v[3], 0);
}

TEST(JacobiEigen, SinglePrecisionFindsTheNullVector) {
  // A 4 × 4 normal matrix of large entries with a known null vector, as
  // triangulation builds it.
  const std::array<float, 4> x = {0.3f, -0.2f, 2.5f, 1.0f};
  std::array<float, 16> n{};
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<float> value(-900, 900);
  for (int row = 0; row < 6; ++row) {
    std::array<float, 4> r = {value(rng), value(rng), value(rng), 0};
    r[3] = -(r[0] * x[0] + r[1] * x[1] + r[2] * x[2]) / x[3];
    for (size_t i = 0; i < 4; ++i)
      for (size_t j = 0; j < 4; ++j) n[i * 4 + j] += r[i] * r[j];
  }
  const auto v = smallestEigenvector<float, 4>(n);
  for (size_t i = 0; i < 3; ++i) EXPECT_NEAR(v[i] / v[3], x[i], 1e-3);
}

TEST(Svd3, RebuildsFullAndRankDeficientMatrices) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> value(-3, 3);
  for (int trial = 0; trial < 40; ++trial) {
    Mat3d a{};
    for (double& v : a) v = value(rng);
    if (trial % 2) {  // rank 2: the third row a mix of the first two
      for (size_t c = 0; c < 3; ++c) a[6 + c] = 0.5 * a[c] - 2 * a[3 + c];
    }
    const Svd3 svd = svd3(a);
    EXPECT_GE(svd.s[0], svd.s[1]);
    EXPECT_GE(svd.s[1], svd.s[2]);
    for (size_t r = 0; r < 3; ++r)
      for (size_t c = 0; c < 3; ++c) {
        double rebuilt = 0;
        for (size_t k = 0; k < 3; ++k)
          rebuilt += svd.u[r * 3 + k] * svd.s[k] * svd.v[c * 3 + k];
        // Through AᵀA a vanishing singular value is only found to about
        // the square root of the machine precision.
        EXPECT_NEAR(rebuilt, a[r * 3 + c], trial % 2 ? 1e-7 : 1e-9);
      }
    if (trial % 2) {
      EXPECT_NEAR(svd.s[2], 0, 1e-6);
      // u3 completes u1, u2 to a right-handed frame.
      EXPECT_NEAR(determinant(svd.u), 1, 1e-9);
    }
  }
}

}  // namespace
}  // namespace pxo
