#pragma once

#include <array>
#include <cstddef>

// The small dense linear algebra the multi-view solve needs: symmetric
// eigen-decomposition by the cyclic Jacobi method and a 3 × 3 SVD built on
// it. Matrices are row-major std::arrays.

namespace pxo {

template <typename T>
using Vec3 = std::array<T, 3>;
template <typename T>
using Mat3 = std::array<T, 9>;

using Vec3f = Vec3<float>;
using Vec3d = Vec3<double>;
using Mat3f = Mat3<float>;
using Mat3d = Mat3<double>;

// A symmetric N × N matrix's eigenvalues (in no particular order) and
// eigenvectors: column k of `vectors` (row-major) belongs to `values[k]`.
template <typename T, size_t N>
struct SymmetricEigen {
  std::array<T, N> values{};
  std::array<T, N * N> vectors{};
};

inline constexpr int kJacobiMaxSweeps = 200;
inline constexpr double kJacobiTolerance = 1e-13;

// Cyclic Jacobi: sweeps over every off-diagonal pair until the sum of their
// magnitudes is at most kJacobiTolerance, at most kJacobiMaxSweeps times.
// Only the upper triangle of `a` is read.
template <typename T, size_t N>
SymmetricEigen<T, N> jacobiEigen(const std::array<T, N * N>& a);

// The eigenvector of the smallest eigenvalue (the first on ties), and that
// eigenvalue through `value` when given.
template <typename T, size_t N>
std::array<T, N> smallestEigenvector(const std::array<T, N * N>& a,
                                     T* value = nullptr);

// A = U diag(s) Vᵀ from the eigen-decomposition of AᵀA: singular values
// descending (negative eigenvalues count as 0), u_i = A v_i / s_i (zero when
// s_i <= 1e-12), and u3 = u1 × u2 when u3 is shorter than 1e-6.
struct Svd3 {
  Mat3d u{};
  Vec3d s{};
  Mat3d v{};
};
Svd3 svd3(const Mat3d& a);

// Small helpers, all row-major.
Mat3d multiply(const Mat3d& a, const Mat3d& b);
Mat3d transpose(const Mat3d& a);
double determinant(const Mat3d& a);
Vec3d cross(const Vec3d& a, const Vec3d& b);
double dot(const Vec3d& a, const Vec3d& b);
double norm(const Vec3d& a);
Vec3d column(const Mat3d& a, int c);

}  // namespace pxo
