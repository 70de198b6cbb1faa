#include "recon3d/linalg.h"

#include <algorithm>
#include <cmath>

namespace pxo {

template <typename T, size_t N>
SymmetricEigen<T, N> jacobiEigen(const std::array<T, N * N>& input) {
  std::array<T, N * N> a{};
  for (size_t r = 0; r < N; ++r)
    for (size_t c = r; c < N; ++c)
      a[r * N + c] = a[c * N + r] = input[r * N + c];
  SymmetricEigen<T, N> out;
  for (size_t i = 0; i < N; ++i) out.vectors[i * N + i] = T(1);

  for (int sweep = 0; sweep < kJacobiMaxSweeps; ++sweep) {
    T off = 0;
    for (size_t p = 0; p < N; ++p)
      for (size_t q = p + 1; q < N; ++q) off += std::abs(a[p * N + q]);
    if (!(off > T(kJacobiTolerance))) break;
    for (size_t p = 0; p < N; ++p) {
      for (size_t q = p + 1; q < N; ++q) {
        const T apq = a[p * N + q];
        if (apq == T(0)) continue;
        const T app = a[p * N + p], aqq = a[q * N + q];
        // An element too small to change either diagonal entry is dropped,
        // which lets the sweeps end in finite precision.
        if (sweep > 3 &&
            std::abs(app) + std::abs(apq) * T(100) == std::abs(app) &&
            std::abs(aqq) + std::abs(apq) * T(100) == std::abs(aqq)) {
          a[p * N + q] = a[q * N + p] = 0;
          continue;
        }
        const T theta = (aqq - app) / (T(2) * apq);
        T t = T(1) / (std::abs(theta) + std::sqrt(theta * theta + T(1)));
        if (theta < 0) t = -t;
        const T c = T(1) / std::sqrt(t * t + T(1)), s = t * c;
        for (size_t k = 0; k < N; ++k) {
          const T akp = a[k * N + p], akq = a[k * N + q];
          a[k * N + p] = c * akp - s * akq;
          a[k * N + q] = s * akp + c * akq;
        }
        for (size_t k = 0; k < N; ++k) {
          const T apk = a[p * N + k], aqk = a[q * N + k];
          a[p * N + k] = c * apk - s * aqk;
          a[q * N + k] = s * apk + c * aqk;
        }
        a[p * N + p] = app - t * apq;
        a[q * N + q] = aqq + t * apq;
        a[p * N + q] = a[q * N + p] = 0;
        for (size_t k = 0; k < N; ++k) {
          const T vkp = out.vectors[k * N + p], vkq = out.vectors[k * N + q];
          out.vectors[k * N + p] = c * vkp - s * vkq;
          out.vectors[k * N + q] = s * vkp + c * vkq;
        }
      }
    }
  }
  for (size_t i = 0; i < N; ++i) out.values[i] = a[i * N + i];
  return out;
}

template <typename T, size_t N>
std::array<T, N> smallestEigenvector(const std::array<T, N * N>& a, T* value) {
  SymmetricEigen<T, N> e = jacobiEigen<T, N>(a);
  size_t best = 0;
  for (size_t i = 1; i < N; ++i)
    if (e.values[i] < e.values[best]) best = i;
  std::array<T, N> v{};
  for (size_t r = 0; r < N; ++r) v[r] = e.vectors[r * N + best];
  if (value) *value = e.values[best];
  return v;
}

template SymmetricEigen<float, 4> jacobiEigen<float, 4>(
    const std::array<float, 16>&);
template SymmetricEigen<double, 3> jacobiEigen<double, 3>(
    const std::array<double, 9>&);
template SymmetricEigen<double, 9> jacobiEigen<double, 9>(
    const std::array<double, 81>&);
template SymmetricEigen<double, 12> jacobiEigen<double, 12>(
    const std::array<double, 144>&);
template std::array<float, 4> smallestEigenvector<float, 4>(
    const std::array<float, 16>&, float*);
template std::array<double, 9> smallestEigenvector<double, 9>(
    const std::array<double, 81>&, double*);
template std::array<double, 12> smallestEigenvector<double, 12>(
    const std::array<double, 144>&, double*);

Svd3 svd3(const Mat3d& a) {
  const Mat3d ata = multiply(transpose(a), a);
  SymmetricEigen<double, 3> e = jacobiEigen<double, 3>(ata);
  std::array<int, 3> order = {0, 1, 2};
  std::stable_sort(order.begin(), order.end(), [&](int x, int y) {
    return e.values[static_cast<size_t>(x)] > e.values[static_cast<size_t>(y)];
  });
  Svd3 out;
  std::array<Vec3d, 3> us{};
  for (size_t i = 0; i < 3; ++i) {
    const size_t k = static_cast<size_t>(order[i]);
    out.s[i] = std::sqrt(std::max(e.values[k], 0.0));
    Vec3d v = {e.vectors[k], e.vectors[3 + k], e.vectors[6 + k]};
    for (size_t r = 0; r < 3; ++r) out.v[r * 3 + i] = v[r];
    if (out.s[i] > 1e-12) {
      for (size_t r = 0; r < 3; ++r)
        us[i][r] =
            (a[r * 3 + 0] * v[0] + a[r * 3 + 1] * v[1] + a[r * 3 + 2] * v[2]) /
            out.s[i];
    }
  }
  if (norm(us[2]) < 1e-6) us[2] = cross(us[0], us[1]);
  for (size_t i = 0; i < 3; ++i)
    for (size_t r = 0; r < 3; ++r) out.u[r * 3 + i] = us[i][r];
  return out;
}

Mat3d multiply(const Mat3d& a, const Mat3d& b) {
  Mat3d c{};
  for (size_t r = 0; r < 3; ++r)
    for (size_t k = 0; k < 3; ++k)
      for (size_t j = 0; j < 3; ++j)
        c[r * 3 + j] += a[r * 3 + k] * b[k * 3 + j];
  return c;
}

Mat3d transpose(const Mat3d& a) {
  return {a[0], a[3], a[6], a[1], a[4], a[7], a[2], a[5], a[8]};
}

double determinant(const Mat3d& a) {
  return a[0] * (a[4] * a[8] - a[5] * a[7]) -
         a[1] * (a[3] * a[8] - a[5] * a[6]) +
         a[2] * (a[3] * a[7] - a[4] * a[6]);
}

Vec3d cross(const Vec3d& a, const Vec3d& b) {
  return {a[1] * b[2] - a[2] * b[1],
          a[2] * b[0] - a[0] * b[2],
          a[0] * b[1] - a[1] * b[0]};
}

double dot(const Vec3d& a, const Vec3d& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

double norm(const Vec3d& a) { return std::sqrt(dot(a, a)); }

Vec3d column(const Mat3d& a, int c) {
  const size_t k = static_cast<size_t>(c);
  return {a[k], a[3 + k], a[6 + k]};
}

}  // namespace pxo
