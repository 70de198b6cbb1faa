#include "sim/solve_scorer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

namespace pxo::sim {

ScanView syntheticView(const std::vector<std::array<double, 3>>& leds,
                       const CameraPose& pose,
                       double fovDeg,
                       int32_t width,
                       int32_t height,
                       double noisePx,
                       uint64_t seed,
                       double trunkRadius) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> noise(0, noisePx > 0 ? noisePx : 1);
  ScanView view;
  view.width = static_cast<float>(width);
  view.height = static_cast<float>(height);
  for (size_t i = 0; i < leds.size(); ++i) {
    ImagePoint p = projectPoint(leds[i], pose, fovDeg, width, height);
    if (!p.inView || hiddenByTrunk(leds[i], pose.position, trunkRadius))
      continue;
    double x = p.x, y = p.y;
    if (noisePx > 0) {
      x += noise(rng);
      y += noise(rng);
    }
    view.points.push_back({static_cast<int32_t>(i + 1),
                           static_cast<float>(x),
                           static_cast<float>(y),
                           false});
  }
  return view;
}

CameraPose poseAround(double yawDeg, double distance, double height) {
  constexpr double kPi = 3.14159265358979323846;
  const double yaw = yawDeg * kPi / 180;
  CameraPose pose;
  pose.position = {
      -distance * std::sin(yaw), height, -distance * std::cos(yaw)};
  pose.yawDeg = yawDeg;
  return pose;
}

namespace {

// The RMS distance left after the best similarity (Umeyama) maps `source`
// onto `target`; 1e9 for fewer than 3 points.
double alignedRms(const std::vector<Vec3d>& source,
                  const std::vector<Vec3d>& target) {
  if (source.size() < 3) return 1e9;
  const double n = static_cast<double>(source.size());
  Vec3d ms{}, mt{};
  for (size_t i = 0; i < source.size(); ++i)
    for (size_t a = 0; a < 3; ++a) {
      ms[a] += source[i][a] / n;
      mt[a] += target[i][a] / n;
    }
  Mat3d covariance{};
  double sourceVariance = 0;
  for (size_t i = 0; i < source.size(); ++i) {
    Vec3d s, t;
    for (size_t a = 0; a < 3; ++a) {
      s[a] = source[i][a] - ms[a];
      t[a] = target[i][a] - mt[a];
    }
    sourceVariance += dot(s, s) / n;
    for (size_t r = 0; r < 3; ++r)
      for (size_t c = 0; c < 3; ++c) covariance[r * 3 + c] += t[r] * s[c] / n;
  }
  const Svd3 svd = svd3(covariance);
  const double sign = determinant(svd.u) * determinant(svd.v) < 0 ? -1.0 : 1.0;
  const Mat3d d = {1, 0, 0, 0, 1, 0, 0, 0, sign};
  const Mat3d rotation = multiply(multiply(svd.u, d), transpose(svd.v));
  const double scale =
      sourceVariance > 0
          ? (svd.s[0] + svd.s[1] + sign * svd.s[2]) / sourceVariance
          : 0;
  double squared = 0;
  for (size_t i = 0; i < source.size(); ++i) {
    for (size_t r = 0; r < 3; ++r) {
      double mapped = mt[r];
      for (size_t c = 0; c < 3; ++c)
        mapped += scale * rotation[r * 3 + c] * (source[i][c] - ms[c]);
      squared += (mapped - target[i][r]) * (mapped - target[i][r]);
    }
  }
  return std::sqrt(squared / n);
}

}  // namespace

SolveScore scoreSolve(const std::vector<std::array<double, 3>>& leds,
                      const Solve3DResult& result) {
  SolveScore score;
  score.leds = static_cast<int32_t>(leds.size());
  score.interpolated = result.interpolatedCount;
  score.removed = result.outliersRemoved;
  std::array<double, 3> low = {1e300, 1e300, 1e300},
                        high = {-1e300, -1e300, -1e300};
  for (const auto& led : leds)
    for (size_t a = 0; a < 3; ++a) {
      low[a] = std::min(low[a], led[a]);
      high[a] = std::max(high[a], led[a]);
    }
  for (size_t a = 0; a < 3 && !leds.empty(); ++a)
    score.extent = std::max(score.extent, high[a] - low[a]);

  std::vector<Vec3d> source, target, solvedSource, solvedTarget;
  for (const Point3D& p : result.points) {
    if (p.id < 1 || static_cast<size_t>(p.id) > leds.size()) continue;
    const auto& t = leds[static_cast<size_t>(p.id - 1)];
    source.push_back({p.x, p.y, p.z});
    target.push_back({t[0], -t[1], t[2]});
    if (!p.interpolated) {
      ++score.solved;
      solvedSource.push_back(source.back());
      solvedTarget.push_back(target.back());
    }
  }
  score.rms = alignedRms(source, target);
  score.rmsFraction = score.extent > 0 ? score.rms / score.extent : 0;
  const double solvedRms = alignedRms(solvedSource, solvedTarget);
  score.solvedRmsFraction = score.extent > 0 ? solvedRms / score.extent : 0;
  return score;
}

SolveScore scoreSolve(const std::vector<std::array<double, 3>>& leds,
                      const Solve3DResult& result,
                      std::span<const ScanView> views) {
  SolveScore score = scoreSolve(leds, result);
  std::vector<int32_t> sightings(leds.size() + 1, 0);
  for (const ScanView& view : views)
    for (const ViewPoint& p : view.points)
      if (!p.estimated && p.id >= 1 && static_cast<size_t>(p.id) <= leds.size())
        ++sightings[static_cast<size_t>(p.id)];
  std::vector<uint8_t> solved(leds.size() + 1, 0);
  for (const Point3D& p : result.points)
    if (!p.interpolated && p.id >= 1 &&
        static_cast<size_t>(p.id) <= leds.size())
      solved[static_cast<size_t>(p.id)] = 1;
  for (size_t id = 1; id <= leds.size(); ++id)
    if (sightings[id] >= 2) {
      ++score.seenTwice;
      if (solved[id]) ++score.seenTwiceSolved;
    }
  return score;
}

std::string SolveScore::summary() const {
  char text[200];
  std::snprintf(
      text,
      sizeof text,
      "%d of %d LEDs solved, %d interpolated, %d removed; RMS %.2f %% "
      "of the prop's extent (solved %.2f %%)",
      solved,
      leds,
      interpolated,
      removed,
      100 * rmsFraction,
      100 * solvedRmsFraction);
  if (seenTwice > 0)
    std::snprintf(text + std::strlen(text),
                  sizeof text - std::strlen(text),
                  "; %d of %d seen twice solved",
                  seenTwiceSolved,
                  seenTwice);
  return text;
}

}  // namespace pxo::sim
