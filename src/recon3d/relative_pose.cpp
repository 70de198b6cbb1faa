#include "recon3d/geometry.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace pxo {
namespace {

using Vec2d = std::array<double, 2>;

// Hartley's normalisation: centroid to the origin, mean distance √2.
Mat3d normalisePoints(std::span<const Vec2f> pixels, std::vector<Vec2d>* out) {
  double cx = 0, cy = 0;
  for (const Vec2f& p : pixels) {
    cx += p[0];
    cy += p[1];
  }
  const double n = static_cast<double>(pixels.size());
  cx /= n;
  cy /= n;
  double mean = 0;
  for (const Vec2f& p : pixels) mean += std::hypot(p[0] - cx, p[1] - cy);
  mean /= n;
  const double scale = mean > 1e-9 ? std::sqrt(2.0) / mean : 1.0;
  out->clear();
  for (const Vec2f& p : pixels)
    out->push_back({(p[0] - cx) * scale, (p[1] - cy) * scale});
  return {scale, 0, -scale * cx, 0, scale, -scale * cy, 0, 0, 1};
}

Mat3d toDouble(const Mat3f& m) {
  Mat3d d{};
  for (size_t i = 0; i < 9; ++i) d[i] = m[i];
  return d;
}

void printMatrix(const char* name, const Mat3d& m) {
  std::fprintf(stderr,
               "[pose] %s=[%+0.4e %+0.4e %+0.4e; %+0.4e %+0.4e %+0.4e; "
               "%+0.4e %+0.4e %+0.4e]\n",
               name,
               m[0],
               m[1],
               m[2],
               m[3],
               m[4],
               m[5],
               m[6],
               m[7],
               m[8]);
}

// The eight-point fundamental matrix of normalised points, row-major:
// the least-squares solution of x1ᵀ F x0 = 0, one row per correspondence.
std::array<double, 9> eightPointSolution(const std::vector<Vec2d>& n0,
                                         const std::vector<Vec2d>& n1,
                                         bool debug) {
  std::vector<std::array<double, 9>> rows;
  rows.reserve(n0.size());
  std::array<double, 81> ata{};
  for (size_t i = 0; i < n0.size(); ++i) {
    const double x0 = n0[i][0], y0 = n0[i][1], x1 = n1[i][0], y1 = n1[i][1];
    const std::array<double, 9> row = {
        x1 * x0, x1 * y0, x1, y1 * x0, y1 * y0, y1, x0, y0, 1};
    for (size_t r = 0; r < 9; ++r)
      for (size_t c = r; c < 9; ++c) ata[r * 9 + c] += row[r] * row[c];
    rows.push_back(row);
  }
  const std::array<double, 9> f = smallestEigenvector<double, 9>(ata);
  if (debug) {
    double residual = 0;
    for (const auto& row : rows) {
      double r = 0;
      for (size_t k = 0; k < 9; ++k) r += row[k] * f[k];
      residual += r * r;
    }
    std::fprintf(stderr, "[pose] ||A·f||²=%.4e\n", residual);
  }
  return f;
}

// The nearest rank-2 matrix to `f`.
Mat3d nearestRank2(const std::array<double, 9>& f, bool debug) {
  const Svd3 fSvd = svd3(f);
  Mat3d rank2{};
  for (size_t r = 0; r < 3; ++r)
    for (size_t c = 0; c < 3; ++c)
      for (size_t k = 0; k < 2; ++k)
        rank2[r * 3 + c] += fSvd.u[r * 3 + k] * fSvd.s[k] * fSvd.v[c * 3 + k];
  if (debug) {
    std::fprintf(
        stderr, "[pose] sF=(%.4e, %.4e, %.4e)\n", fSvd.s[0], fSvd.s[1], 0.0);
    printMatrix("F", rank2);
  }
  return rank2;
}

// The essential matrix's decomposition with U and V rotations. u3 is
// normally u1 × u2 already (E has rank 2); should E's third singular value
// not vanish, U is kept a rotation all the same, or the pose candidates
// would be reflections.
Svd3 essentialDecomposition(const Mat3d& essential, bool debug) {
  Svd3 eSvd = svd3(essential);
  if (determinant(eSvd.v) < 0)
    for (size_t r = 0; r < 3; ++r) eSvd.v[r * 3 + 2] = -eSvd.v[r * 3 + 2];
  if (determinant(eSvd.u) < 0)
    for (size_t r = 0; r < 3; ++r) eSvd.u[r * 3 + 2] = -eSvd.u[r * 3 + 2];
  if (debug) {
    const Vec3d u3 = column(eSvd.u, 2);
    printMatrix("E", essential);
    std::fprintf(stderr,
                 "[pose] sE=(%.4f, %.4f, %.4f)  σ1/σ2=%.4f (should be 1)\n",
                 eSvd.s[0],
                 eSvd.s[1],
                 eSvd.s[2],
                 eSvd.s[0] / eSvd.s[1]);
    std::fprintf(stderr,
                 "[pose] U.c2 (t direction) = (%.4f, %.4f, %.4f)\n",
                 u3[0],
                 u3[1],
                 u3[2]);
  }
  return eSvd;
}

// Of the four poses an essential matrix allows, the one that puts the most
// points in front of both cameras; false when none does.
bool poseInFront(const Svd3& eSvd,
                 std::span<const Vec2f> pixels0,
                 std::span<const Vec2f> pixels1,
                 const Mat3f& intrinsics0,
                 const Mat3f& intrinsics1,
                 bool debug,
                 Mat3f* rotation,
                 Vec3d* translation) {
  const Vec3d u3 = column(eSvd.u, 2);
  const Mat3d w = {0, -1, 0, 1, 0, 0, 0, 0, 1};
  const Mat3d vt = transpose(eSvd.v);
  const Mat3d r1 = multiply(multiply(eSvd.u, w), vt);
  const Mat3d r2 = multiply(multiply(eSvd.u, transpose(w)), vt);
  const Vec3d minus = {-u3[0], -u3[1], -u3[2]};
  const std::array<std::pair<Mat3d, Vec3d>, 4> candidates = {
      {{r1, u3}, {r1, minus}, {r2, u3}, {r2, minus}}};

  const Mat3f identity = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  const Projection p0 = makeProjection(intrinsics0, identity, {0, 0, 0});
  int best = -1, bestCount = 0;
  for (size_t c = 0; c < candidates.size(); ++c) {
    Mat3f r{};
    Vec3f t{};
    for (size_t i = 0; i < 9; ++i)
      r[i] = static_cast<float>(candidates[c].first[i]);
    for (size_t i = 0; i < 3; ++i)
      t[i] = static_cast<float>(candidates[c].second[i]);
    const Projection p1 = makeProjection(intrinsics1, r, t);
    int count = 0;
    for (size_t i = 0; i < pixels0.size(); ++i) {
      const std::array<Observation, 2> views = {
          {{p0, pixels0[i]}, {p1, pixels1[i]}}};
      Vec3f point;
      if (triangulatePoint(views, &point)) ++count;
    }
    if (debug)
      std::fprintf(
          stderr, "[pose] cand %d chirality=%d\n", static_cast<int>(c), count);
    if (count > bestCount) {
      best = static_cast<int>(c);
      bestCount = count;
      *rotation = r;
      *translation = candidates[c].second;
    }
  }
  return best >= 0;
}

}  // namespace

bool estimateRelativePose(std::span<const Vec2f> pixels0,
                          std::span<const Vec2f> pixels1,
                          const Mat3f& intrinsics0,
                          const Mat3f& intrinsics1,
                          RelativePose* pose,
                          bool quiet) {
  if (pixels0.size() != pixels1.size() || pixels0.size() < 8) return false;
  // Nothing in the library changes the environment, so reading it from a
  // worker thread is safe.
  // NOLINTNEXTLINE(concurrency-mt-unsafe)
  const bool debug = !quiet && std::getenv("PXO_POSE_DEBUG") != nullptr;
  std::vector<Vec2d> n0, n1;
  const Mat3d t0 = normalisePoints(pixels0, &n0);
  const Mat3d t1 = normalisePoints(pixels1, &n1);
  // Back in pixel coordinates, then through the cameras.
  const Mat3d rank2 = nearestRank2(eightPointSolution(n0, n1, debug), debug);
  const Mat3d fundamental = multiply(multiply(transpose(t1), rank2), t0);
  const Mat3d k0 = toDouble(intrinsics0), k1 = toDouble(intrinsics1);
  const Mat3d essential = multiply(multiply(transpose(k1), fundamental), k0);
  const Svd3 eSvd = essentialDecomposition(essential, debug);
  Mat3f bestR{};
  Vec3d bestT{};
  if (!poseInFront(eSvd,
                   pixels0,
                   pixels1,
                   intrinsics0,
                   intrinsics1,
                   debug,
                   &bestR,
                   &bestT))
    return false;
  const double length = norm(bestT);
  if (!(length >= 1e-12)) return false;
  pose->cam1FromCam0Rotation = bestR;
  for (size_t i = 0; i < 3; ++i)
    pose->cam1FromCam0Translation[i] = static_cast<float>(bestT[i] / length);
  return true;
}

}  // namespace pxo

namespace pxo {
namespace {

// Rays through K⁻¹ (K has no skew), so that the homography found from them
// is the calibrated one, H = R + t nᵀ / d.
std::vector<Vec2f> raysOf(std::span<const Vec2f> pixels, const Mat3f& k) {
  std::vector<Vec2f> out;
  out.reserve(pixels.size());
  for (const Vec2f& p : pixels)
    out.push_back({(p[0] - k[2]) / k[0], (p[1] - k[5]) / k[4]});
  return out;
}

Vec3d applyTo(const Mat3d& m, const Vec3d& v) {
  return Vec3d{dot({m[0], m[1], m[2]}, v),
               dot({m[3], m[4], m[5]}, v),
               dot({m[6], m[7], m[8]}, v)};
}

// The homography from rays r0 to rays r1 (the direct linear transform on
// normalised points), scaled to a middle singular value of 1 and signed to
// put the plane in front; false when it is degenerate.
bool planeHomography(const std::vector<Vec2f>& r0,
                     const std::vector<Vec2f>& r1,
                     Mat3d* homography) {
  std::vector<Vec2d> n0, n1;
  const Mat3d t0 = normalisePoints(r0, &n0);
  const Mat3d t1 = normalisePoints(r1, &n1);
  // x1 × (H x0) = 0: two rows per correspondence, H row-major.
  std::array<double, 81> ata{};
  for (size_t i = 0; i < n0.size(); ++i) {
    const double x0 = n0[i][0], y0 = n0[i][1], x1 = n1[i][0], y1 = n1[i][1];
    const std::array<std::array<double, 9>, 2> rows = {
        {{x0, y0, 1, 0, 0, 0, -x1 * x0, -x1 * y0, -x1},
         {0, 0, 0, x0, y0, 1, -y1 * x0, -y1 * y0, -y1}}};
    for (const auto& row : rows)
      for (size_t r = 0; r < 9; ++r)
        for (size_t c = r; c < 9; ++c) ata[r * 9 + c] += row[r] * row[c];
  }
  const std::array<double, 9> h = smallestEigenvector<double, 9>(ata);
  // Back from the normalised frames: H = T1⁻¹ Ĥ T0.
  const Mat3d t1Inverse = {
      1 / t1[0], 0, -t1[2] / t1[0], 0, 1 / t1[4], -t1[5] / t1[4], 0, 0, 1};
  Mat3d& hom = *homography;
  hom = multiply(multiply(t1Inverse, h), t0);
  const Svd3 svd = svd3(hom);
  if (!(svd.s[1] > 1e-12)) return false;
  for (double& v : hom) v /= svd.s[1];
  // The sign that puts the plane in front: x1ᵀ H x0 > 0 for most points.
  int positive = 0;
  for (size_t i = 0; i < r0.size(); ++i) {
    const Vec3d hx = applyTo(hom, {r0[i][0], r0[i][1], 1});
    if (dot({r1[i][0], r1[i][1], 1}, hx) > 0) ++positive;
  }
  if (2 * positive < static_cast<int>(r0.size()))
    for (double& v : hom) v = -v;
  return true;
}

// The decomposition of Ma, Soatto, Košecká and Sastry (An Invitation to
// 3-D Vision, 5.3): from HᵀH = V diag(σ1², 1, σ3²) Vᵀ, two rotations with
// their plane normals, each with t = (H − R) n and the mirrored solution
// (−n, −t). None for a pure rotation (no baseline).
void decomposeHomography(const Mat3d& hom, std::vector<RelativePose>* poses) {
  const Svd3 svd = svd3(hom);
  const double s1 = svd.s[0] * svd.s[0], s3 = svd.s[2] * svd.s[2];
  if (!(s1 - s3 > 1e-12)) return;
  const Vec3d v1 = column(svd.v, 0), v2 = column(svd.v, 1),
              v3 = column(svd.v, 2);
  const double a = std::sqrt(std::max(1 - s3, 0.0)),
               b = std::sqrt(std::max(s1 - 1, 0.0)), d = std::sqrt(s1 - s3);
  auto columns = [](const Vec3d& c0, const Vec3d& c1, const Vec3d& c2) {
    return Mat3d{c0[0], c1[0], c2[0], c0[1], c1[1], c2[1], c0[2], c1[2], c2[2]};
  };
  for (double sign : {1.0, -1.0}) {
    const Vec3d u = {(a * v1[0] + sign * b * v3[0]) / d,
                     (a * v1[1] + sign * b * v3[1]) / d,
                     (a * v1[2] + sign * b * v3[2]) / d};
    const Mat3d uMat = columns(v2, u, cross(v2, u));
    const Vec3d hv2 = applyTo(hom, v2), hu = applyTo(hom, u);
    const Mat3d wMat = columns(hv2, hu, cross(hv2, hu));
    const Mat3d rotation = multiply(wMat, transpose(uMat));
    const Vec3d normal = cross(v2, u);
    Vec3d t{};
    for (size_t r = 0; r < 3; ++r)
      for (size_t c = 0; c < 3; ++c)
        t[r] += (hom[r * 3 + c] - rotation[r * 3 + c]) * normal[c];
    const double length = norm(t);
    if (!(length >= 1e-12)) continue;
    for (double flip : {1.0, -1.0}) {
      RelativePose pose;
      for (size_t i = 0; i < 9; ++i)
        pose.cam1FromCam0Rotation[i] = static_cast<float>(rotation[i]);
      for (size_t i = 0; i < 3; ++i)
        pose.cam1FromCam0Translation[i] =
            static_cast<float>(flip * t[i] / length);
      poses->push_back(pose);
    }
  }
}

}  // namespace

bool estimatePlanarPoses(std::span<const Vec2f> pixels0,
                         std::span<const Vec2f> pixels1,
                         const Mat3f& intrinsics0,
                         const Mat3f& intrinsics1,
                         std::vector<RelativePose>* poses) {
  poses->clear();
  if (pixels0.size() != pixels1.size() || pixels0.size() < 4) return false;
  if (!(std::abs(intrinsics0[0]) > 1e-9f && std::abs(intrinsics0[4]) > 1e-9f &&
        std::abs(intrinsics1[0]) > 1e-9f && std::abs(intrinsics1[4]) > 1e-9f))
    return false;
  Mat3d homography{};
  if (!planeHomography(raysOf(pixels0, intrinsics0),
                       raysOf(pixels1, intrinsics1),
                       &homography))
    return false;
  decomposeHomography(homography, poses);
  return !poses->empty();
}

}  // namespace pxo
