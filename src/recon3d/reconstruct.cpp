#include "recon3d/reconstruct.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <optional>
#include <utility>

namespace pxo {
namespace {

// The non-estimated points of one camera by ID (the first of duplicates).
using SeenPoints = std::vector<std::pair<int32_t, Vec2f>>;

SeenPoints indexPoints(std::span<const ViewPoint> points) {
  SeenPoints seen;
  seen.reserve(points.size());
  for (const ViewPoint& p : points)
    if (!p.estimated) seen.push_back({p.id, {p.x, p.y}});
  std::stable_sort(seen.begin(), seen.end(), [](const auto& a, const auto& b) {
    return a.first < b.first;
  });
  seen.erase(std::unique(seen.begin(),
                         seen.end(),
                         [](const auto& a, const auto& b) {
                           return a.first == b.first;
                         }),
             seen.end());
  return seen;
}

template <typename Value>
const Value* findId(const std::vector<std::pair<int32_t, Value>>& list,
                    int32_t id) {
  auto it = std::lower_bound(
      list.begin(), list.end(), id, [](const auto& entry, int32_t wanted) {
        return entry.first < wanted;
      });
  return it != list.end() && it->first == id ? &it->second : nullptr;
}

Solve3DResultPtr reconstruct(std::span<const SolveCamera> cameras) {
  if (cameras.size() < 2) return nullptr;
  std::vector<SeenPoints> seen;
  std::vector<int32_t> allIds;
  for (const SolveCamera& camera : cameras) {
    seen.push_back(indexPoints(camera.points));
    for (const auto& entry : seen.back()) allIds.push_back(entry.first);
  }
  std::sort(allIds.begin(), allIds.end());
  allIds.erase(std::unique(allIds.begin(), allIds.end()), allIds.end());

  std::vector<int32_t> commonIds;
  std::vector<Vec2f> pixels0, pixels1;
  for (const auto& [id, pixel] : seen[0]) {
    if (const Vec2f* other = findId(seen[1], id)) {
      commonIds.push_back(id);
      pixels0.push_back(pixel);
      pixels1.push_back(*other);
    }
  }
  if (commonIds.size() < 8) return nullptr;

  RelativePose pose;
  if (!estimateRelativePose(pixels0,
                            pixels1,
                            cameras[0].intrinsics,
                            cameras[1].intrinsics,
                            &pose))
    return nullptr;
  std::vector<std::optional<Projection>> placed(cameras.size());
  const Mat3f identity = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  placed[0] = makeProjection(cameras[0].intrinsics, identity, {0, 0, 0});
  placed[1] = makeProjection(cameras[1].intrinsics,
                             pose.cam1FromCam0Rotation,
                             pose.cam1FromCam0Translation);

  std::vector<std::pair<int32_t, Vec3f>> seeds;
  for (size_t i = 0; i < commonIds.size(); ++i) {
    const std::array<Observation, 2> views = {
        {{*placed[0], pixels0[i]}, {*placed[1], pixels1[i]}}};
    Vec3f point;
    if (triangulatePoint(views, &point)) seeds.push_back({commonIds[i], point});
  }

  for (size_t k = 2; k < cameras.size(); ++k) {
    std::vector<Vec3f> known;
    std::vector<Vec2f> pixels;
    for (const auto& [id, pixel] : seen[k]) {
      if (const Vec3f* seed = findId(seeds, id)) {
        known.push_back(*seed);
        pixels.push_back(pixel);
      }
    }
    Projection projection;
    if (known.size() >= kMinResectionPoints &&
        resectCamera(known, pixels, cameras[k].intrinsics, &projection))
      placed[k] = projection;
  }

  std::vector<Point3D> points;
  std::vector<Observation> views;
  for (int32_t id : allIds) {
    views.clear();
    for (size_t k = 0; k < cameras.size(); ++k) {
      if (!placed[k]) continue;
      if (const Vec2f* pixel = findId(seen[k], id))
        views.push_back({*placed[k], *pixel});
    }
    Vec3f point;
    if (views.size() >= 2 && triangulatePoint(views, &point))
      points.push_back({id, point[0], point[1], point[2], 0});
  }
  if (points.size() < 3) return nullptr;

  Solve3DResultPtr result(new Solve3DResult);
  result->triangulatedCount = static_cast<int32_t>(points.size());
  result->outliersRemoved = removeIsolatedPoints(&points);
  result->interpolatedCount = interpolateMissingIds(allIds, &points);
  normaliseToPrincipalAxes(&points, result.get());
  result->pointCount = static_cast<int32_t>(points.size());
  result->points = std::move(points);
  return result;
}

}  // namespace

void destroySolve3DResult(Solve3DResult* result) { delete result; }

Mat3f cameraIntrinsics(double fovDeg, float width, float height) {
  constexpr double kPi = 3.14159265358979;
  const double focal = (width * 0.5) / std::tan(fovDeg * kPi / 360);
  const auto f = static_cast<float>(focal);
  return {f, 0, width * 0.5f, 0, f, height * 0.5f, 0, 0, 1};
}

SolveCamera solveCamera(const ScanView& view, double fovDeg) {
  return {view.points,
          view.width,
          view.height,
          cameraIntrinsics(fovDeg, view.width, view.height)};
}

Solve3DResultPtr reconstructViews(std::span<const SolveCamera> cameras) {
  try {
    return reconstruct(cameras);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

Solve3DResultPtr pickFieldOfView(
    const std::function<Solve3DResultPtr(double fovDeg)>& solveAt,
    double fovDeg,
    double* chosenFovDeg) {
  if (fovDeg > 0) {
    Solve3DResultPtr result = solveAt(fovDeg);
    if (result && chosenFovDeg) *chosenFovDeg = fovDeg;
    return result;
  }
  // The right field of view makes a flat prop flattest, and the flattest
  // result is kept; for a solid prop that is only a guess, which is why
  // the user may set it. A wrong angle can also make most rays miss (a
  // third camera placed from a distorted cloud does that): the few LEDs
  // left look flatter, yet that is a broken solve, so only results within
  // kFovSearchMinShare of the best triangulated count take part.
  std::vector<std::pair<int, Solve3DResultPtr>> results;
  int32_t most = 0;
  for (int fov = kFovSearchFirst; fov <= kFovSearchLast;
       fov += kFovSearchStep) {
    Solve3DResultPtr result = solveAt(fov);
    if (!result || result->triangulatedCount < 3) continue;
    most = std::max(most, result->triangulatedCount);
    results.emplace_back(fov, std::move(result));
  }
  Solve3DResultPtr best;
  double bestFov = 0;
  for (auto& [fov, result] : results) {
    if (result->triangulatedCount < kFovSearchMinShare * most) continue;
    if (!best || result->thicknessRms < best->thicknessRms) {
      best = std::move(result);
      bestFov = fov;
    }
  }
  if (best && chosenFovDeg) *chosenFovDeg = bestFov;
  return best;
}

Solve3DResultPtr solveViews(std::span<const ScanView> views,
                            double fovDeg,
                            double* chosenFovDeg) {
  auto solveAt = [&](double fov) {
    std::vector<SolveCamera> cameras;
    cameras.reserve(views.size());
    for (const ScanView& view : views)
      cameras.push_back(solveCamera(view, fov));
    return reconstructViews(cameras);
  };
  try {
    return pickFieldOfView(solveAt, fovDeg, chosenFovDeg);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::string solveSummary(const Solve3DResult& result,
                         int32_t viewCount,
                         double fovDeg) {
  return std::to_string(result.pointCount) + " points, " +
         std::to_string(result.triangulatedCount) + " triangulated from " +
         std::to_string(viewCount) + " views" +
         (result.planar ? ", planar" : "") + " (FOV " +
         std::to_string(
             static_cast<int64_t>(std::clamp(std::trunc(fovDeg), -1e9, 1e9))) +
         "\u00b0)";
}

}  // namespace pxo
