#include "recon3d/reconstruct.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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

// How far from `pixel` the projection puts `point`; infinite behind the
// camera.
double reprojectionError(const Projection& p,
                         const Vec3f& point,
                         const Vec2f& pixel) {
  double h[3];
  for (size_t r = 0; r < 3; ++r)
    h[r] = double(p[r * 4]) * point[0] + double(p[r * 4 + 1]) * point[1] +
           double(p[r * 4 + 2]) * point[2] + p[r * 4 + 3];
  if (!(h[2] > 0)) return HUGE_VAL;
  return std::hypot(pixel[0] - h[0] / h[2], pixel[1] - h[1] / h[2]);
}

// The element at n / 2 of the sorted values; infinite for none.
double medianOf(std::vector<double> values) {
  if (values.empty()) return HUGE_VAL;
  const auto middle =
      values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// Per correspondence, the larger of its two reprojection errors after
// triangulation under `pose`; infinite when it does not triangulate.
std::vector<double> poseErrors(std::span<const Vec2f> pixels0,
                               std::span<const Vec2f> pixels1,
                               const Mat3f& intrinsics0,
                               const Mat3f& intrinsics1,
                               const RelativePose& pose) {
  const Mat3f identity = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  const std::array<Projection, 2> projections = {
      makeProjection(intrinsics0, identity, {0, 0, 0}),
      makeProjection(intrinsics1,
                     pose.cam1FromCam0Rotation,
                     pose.cam1FromCam0Translation)};
  std::vector<double> errors;
  errors.reserve(pixels0.size());
  for (size_t i = 0; i < pixels0.size(); ++i) {
    const std::array<Observation, 2> views = {
        {{projections[0], pixels0[i]}, {projections[1], pixels1[i]}}};
    Vec3f point;
    if (!triangulatePoint(views, &point)) {
      errors.push_back(HUGE_VAL);
      continue;
    }
    double worst = 0;
    for (const Observation& view : views)
      worst = std::max(worst,
                       reprojectionError(view.projection, point, view.pixel));
    errors.push_back(worst);
  }
  return errors;
}

// Robust fits of a model to n data.
//
// A linear fit weighs every datum alike, so a few LEDs decoded under
// wrong IDs (tens or hundreds of pixels off) tilt it. Besides the fit of
// all the data, the best of kRobustSamples random subsets of `minimal`
// data each is found, judged by the median score over all the data, which
// holds while fewer than half the data are wrong. A fit is then refitted
// without the data further than four times its median error (and over
// `floorPx`), up to kRobustRefits times, while `minimal` remain. The
// draws are seeded alike on every call: one input, one answer.
//
// fit(indices, &model) fits the data at `indices`; errors(model) gives
// every datum's error in pixels, score(model) the same or a cheaper
// stand-in that ranks models alike.
//
// A resection takes the drawn fit when it is clearly better. The first
// pose takes the draws only to leave out gross outliers: a two-view pose
// fitted to a subset explains its pictures better than the fit of all the
// pairs at any field of view, which would blind the search for the angle.
constexpr int kRobustSamples = 60;
constexpr int kRobustRefits = 2;

// The refits of a robust fit, from `model`, fitted to all n data or (when
// `fittedToAll` is false) to a few. The data kept only ever shrink, so
// the refits settle.
template <typename Model, typename Fit, typename Errors>
void refitWithoutTheWorst(size_t n,
                          size_t minimal,
                          double floorPx,
                          const Fit& fit,
                          const Errors& errors,
                          bool fittedToAll,
                          Model* model) {
  std::vector<size_t> kept(n), fewer;
  for (size_t i = 0; i < n; ++i) kept[i] = i;
  for (int round = 0; round < kRobustRefits; ++round) {
    const std::vector<double> error = errors(*model);
    std::vector<double> keptError;
    keptError.reserve(kept.size());
    for (size_t i : kept) keptError.push_back(error[i]);
    const double limit = std::max(4 * medianOf(keptError), floorPx);
    fewer.clear();
    for (size_t i : kept)
      if (error[i] <= limit) fewer.push_back(i);
    if (fewer.size() < minimal) break;
    if (fewer.size() == kept.size() && (round > 0 || fittedToAll)) break;
    Model refined;
    if (!fit(fewer, &refined)) break;
    *model = refined;
    kept.swap(fewer);
  }
}

// The best of kRobustSamples random subsets of `minimal` data each,
// judged by the median score over all the data, then refitted.
template <typename Model, typename Fit, typename Score, typename Errors>
bool leastMedianFit(size_t n,
                    size_t minimal,
                    double floorPx,
                    const Fit& fit,
                    const Score& score,
                    const Errors& errors,
                    Model* model) {
  if (n <= minimal) return false;
  std::vector<size_t> all(n), sample;
  for (size_t i = 0; i < n; ++i) all[i] = i;
  Model best;
  double bestMedian = HUGE_VAL;
  uint64_t state = 0x9e3779b97f4a7c15ull;
  for (int draw = 0; draw < kRobustSamples; ++draw) {
    // A partial Fisher–Yates shuffle of `all` by xorshift64.
    for (size_t i = 0; i < minimal; ++i) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      std::swap(all[i], all[i + state % (n - i)]);
    }
    sample.assign(all.begin(),
                  all.begin() + static_cast<std::ptrdiff_t>(minimal));
    Model candidate;
    if (!fit(sample, &candidate)) continue;
    const double median = medianOf(score(candidate));
    if (median < bestMedian) {
      bestMedian = median;
      best = candidate;
    }
  }
  if (!(bestMedian < HUGE_VAL)) return false;
  refitWithoutTheWorst(n, minimal, floorPx, fit, errors, false, &best);
  *model = best;
  return true;
}

// Whether the fit drawn from samples explains the data clearly better
// than the fit of all of them (median error under 0.8 times). Where both
// see the same outliers they agree, and a solve repeated at a
// neighbouring field of view must not jump between them.
bool drawnFitIsBetter(const std::vector<double>& drawnErrors,
                      const std::vector<double>& plainErrors) {
  return medianOf(drawnErrors) < 0.8 * medianOf(plainErrors);
}

// The eight-point pose, then again without the correspondences it
// explains worst: the linear fit weighs every pair alike, so one LED
// decoded in the wrong place tilts the whole pose. Pairs further than
// four times the median error (and over 1.5 px) are left out of a second
// fit, twice at most, while at least 8 remain.
bool epipolarPose(std::span<const Vec2f> pixels0,
                  std::span<const Vec2f> pixels1,
                  const Mat3f& intrinsics0,
                  const Mat3f& intrinsics1,
                  RelativePose* pose) {
  if (!estimateRelativePose(pixels0, pixels1, intrinsics0, intrinsics1, pose))
    return false;
  std::vector<Vec2f> kept0, kept1;
  for (int round = 0; round < 2; ++round) {
    std::vector<double> errors =
        poseErrors(pixels0, pixels1, intrinsics0, intrinsics1, *pose);
    const double limit = std::max(4 * medianOf(errors), 1.5);
    kept0.clear();
    kept1.clear();
    for (size_t i = 0; i < errors.size(); ++i)
      if (errors[i] <= limit) {
        kept0.push_back(pixels0[i]);
        kept1.push_back(pixels1[i]);
      }
    if (kept0.size() == pixels0.size() || kept0.size() < 8) break;
    RelativePose refined;
    if (!estimateRelativePose(kept0, kept1, intrinsics0, intrinsics1, &refined))
      break;
    *pose = refined;
  }
  return true;
}

// Per correspondence, its first-order distance from the epipolar
// constraint of `pose` (the Sampson distance), in camera 1's pixels: a
// cheap stand-in for poseErrors that needs no triangulation.
std::vector<double> sampsonErrors(std::span<const Vec2f> pixels0,
                                  std::span<const Vec2f> pixels1,
                                  const Mat3f& intrinsics0,
                                  const Mat3f& intrinsics1,
                                  const RelativePose& pose) {
  const Mat3f& r = pose.cam1FromCam0Rotation;
  const Vec3f& t = pose.cam1FromCam0Translation;
  // E = [t]x R on normalised coordinates.
  double e[9];
  const double tx[9] = {0, -t[2], t[1], t[2], 0, -t[0], -t[1], t[0], 0};
  for (size_t i = 0; i < 3; ++i)
    for (size_t j = 0; j < 3; ++j) {
      double sum = 0;
      for (size_t k = 0; k < 3; ++k) sum += tx[i * 3 + k] * r[k * 3 + j];
      e[i * 3 + j] = sum;
    }
  auto normalised = [](const Mat3f& k, const Vec2f& pixel) {
    return std::array<double, 2>{(pixel[0] - double(k[2])) / k[0],
                                 (pixel[1] - double(k[5])) / k[4]};
  };
  const double focal = intrinsics1[0];
  std::vector<double> errors;
  errors.reserve(pixels0.size());
  for (size_t i = 0; i < pixels0.size(); ++i) {
    const auto a = normalised(intrinsics0, pixels0[i]);
    const auto b = normalised(intrinsics1, pixels1[i]);
    double ea[3], eb[2];
    for (size_t row = 0; row < 3; ++row)
      ea[row] = e[row * 3] * a[0] + e[row * 3 + 1] * a[1] + e[row * 3 + 2];
    for (size_t col = 0; col < 2; ++col)
      eb[col] = e[col] * b[0] + e[3 + col] * b[1] + e[6 + col];
    const double constraint = b[0] * ea[0] + b[1] * ea[1] + ea[2];
    const double gradient =
        ea[0] * ea[0] + ea[1] * ea[1] + eb[0] * eb[0] + eb[1] * eb[1];
    errors.push_back(gradient > 0
                         ? focal * std::abs(constraint) / std::sqrt(gradient)
                         : HUGE_VAL);
  }
  return errors;
}

// The pairs of a pose less those far (over kGrossOutlierPx) from where the
// best pose of random samples of eight pairs puts them: LEDs decoded under
// wrong IDs, tens or hundreds of pixels off, which tilt even the trimmed
// fit of all the pairs. A wrong field of view only misfits by a few
// pixels, so what is left out does not change with the angle searched.
constexpr double kGrossOutlierPx = 15.0;

void grossOutliersLeftOut(std::span<const Vec2f> pixels0,
                          std::span<const Vec2f> pixels1,
                          const Mat3f& intrinsics0,
                          const Mat3f& intrinsics1,
                          std::vector<Vec2f>* kept0,
                          std::vector<Vec2f>* kept1) {
  kept0->assign(pixels0.begin(), pixels0.end());
  kept1->assign(pixels1.begin(), pixels1.end());
  std::vector<Vec2f> picked0, picked1;
  auto fit = [&](const std::vector<size_t>& indices, RelativePose* out) {
    picked0.clear();
    picked1.clear();
    for (size_t i : indices) {
      picked0.push_back(pixels0[i]);
      picked1.push_back(pixels1[i]);
    }
    // Quiet: the working shown is that of the pose kept, fitted after.
    return estimateRelativePose(
        picked0, picked1, intrinsics0, intrinsics1, out, true);
  };
  auto errors = [&](const RelativePose& candidate) {
    return poseErrors(pixels0, pixels1, intrinsics0, intrinsics1, candidate);
  };
  auto sampson = [&](const RelativePose& candidate) {
    return sampsonErrors(pixels0, pixels1, intrinsics0, intrinsics1, candidate);
  };
  RelativePose drawn;
  if (!leastMedianFit(pixels0.size(), 8, 1.5, fit, sampson, errors, &drawn))
    return;
  const std::vector<double> error = errors(drawn);
  const double limit = std::max(4 * medianOf(error), kGrossOutlierPx);
  kept0->clear();
  kept1->clear();
  for (size_t i = 0; i < error.size(); ++i)
    if (error[i] <= limit) {
      kept0->push_back(pixels0[i]);
      kept1->push_back(pixels1[i]);
    }
  if (kept0->size() < 8) {
    kept0->assign(pixels0.begin(), pixels0.end());
    kept1->assign(pixels1.begin(), pixels1.end());
  }
}

// The pose of camera 1: the eight-point one and, for LEDs on (or near) a
// plane, where that system is degenerate, the homography's solutions.
// The one kept triangulates the most pairs (within 10 %) and, among
// those, explains the pictures best.
bool robustRelativePose(std::span<const Vec2f> pixels0,
                        std::span<const Vec2f> pixels1,
                        const Mat3f& intrinsics0,
                        const Mat3f& intrinsics1,
                        RelativePose* pose) {
  std::vector<RelativePose> candidates;
  RelativePose epipolar;
  std::vector<Vec2f> kept0, kept1;
  grossOutliersLeftOut(
      pixels0, pixels1, intrinsics0, intrinsics1, &kept0, &kept1);
  if (epipolarPose(kept0, kept1, intrinsics0, intrinsics1, &epipolar))
    candidates.push_back(epipolar);
  std::vector<RelativePose> planar;
  if (estimatePlanarPoses(pixels0, pixels1, intrinsics0, intrinsics1, &planar))
    candidates.insert(candidates.end(), planar.begin(), planar.end());
  struct Score {
    size_t count = 0;
    double median = HUGE_VAL;
  };
  std::vector<Score> scores;
  size_t most = 0;
  for (const RelativePose& candidate : candidates) {
    std::vector<double> errors =
        poseErrors(pixels0, pixels1, intrinsics0, intrinsics1, candidate);
    Score score;
    score.count = static_cast<size_t>(std::count_if(
        errors.begin(), errors.end(), [](double e) { return e < HUGE_VAL; }));
    score.median = medianOf(std::move(errors));
    most = std::max(most, score.count);
    scores.push_back(score);
  }
  int best = -1;
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (scores[i].count == 0 || 10 * scores[i].count < 9 * most) continue;
    if (best < 0 || scores[i].median < scores[static_cast<size_t>(best)].median)
      best = static_cast<int>(i);
  }
  if (best < 0) return false;
  *pose = candidates[static_cast<size_t>(best)];
  return true;
}

// The largest reprojection error of `point` over `views`.
double worstError(std::span<const Observation> views, const Vec3f& point) {
  double worst = 0;
  for (const Observation& view : views)
    worst =
        std::max(worst, reprojectionError(view.projection, point, view.pixel));
  return worst;
}

// One LED from the views that saw it. A sighting under a wrong ID puts
// the LED somewhere else in that one picture: with it, the rays miss each
// other, or meet where the other views do not see the LED. Every view
// must see the point within kMaxReprojectionRmsPx; while one does not and
// more than two are left, the view whose removal fits the rest best is
// left out. The LED is lost only when no two views agree on it. `views`
// is left holding the views used.
// `closest` gets, on failure, the least worst error of the attempts
// (infinite when none met in front of the cameras).
bool triangulateConsistent(std::vector<Observation>* views,
                           Vec3f* point,
                           double* closest) {
  *closest = HUGE_VAL;
  while (views->size() >= 2) {
    Vec3f found;
    if (triangulatePoint(*views, &found)) {
      const double worst = worstError(*views, found);
      *closest = std::min(*closest, worst);
      if (worst <= kMaxReprojectionRmsPx) {
        *point = found;
        return true;
      }
    }
    if (views->size() == 2) return false;
    size_t dropped = views->size();
    double bestFit = HUGE_VAL;
    std::vector<Observation> rest;
    for (size_t leave = 0; leave < views->size(); ++leave) {
      rest.clear();
      for (size_t k = 0; k < views->size(); ++k)
        if (k != leave) rest.push_back((*views)[k]);
      Vec3f candidate;
      if (!triangulatePoint(rest, &candidate)) continue;
      const double fit = worstError(rest, candidate);
      if (fit < bestFit) {
        bestFit = fit;
        dropped = leave;
      }
    }
    if (dropped == views->size()) return false;
    views->erase(views->begin() + static_cast<std::ptrdiff_t>(dropped));
  }
  return false;
}

// Every LED two placed cameras saw; `sightings` counts the sightings the
// points were triangulated from, `unplaced` gets those that two placed
// cameras saw but no two agree on.
std::vector<Point3D> triangulateAll(
    const std::vector<int32_t>& ids,
    const std::vector<SeenPoints>& seen,
    const std::vector<std::optional<Projection>>& placed,
    int32_t* sightings,
    std::vector<SolveFit::Unplaced>* unplaced) {
  *sightings = 0;
  unplaced->clear();
  std::vector<Point3D> points;
  std::vector<Observation> views;
  for (int32_t id : ids) {
    views.clear();
    for (size_t k = 0; k < placed.size(); ++k) {
      if (!placed[k]) continue;
      if (const Vec2f* pixel = findId(seen[k], id))
        views.push_back({*placed[k], *pixel});
    }
    if (views.size() < 2) continue;
    Vec3f point;
    double closest = HUGE_VAL;
    if (triangulateConsistent(&views, &point, &closest)) {
      const auto used = static_cast<int32_t>(views.size());
      points.push_back({id, point[0], point[1], point[2], 0, used});
      *sightings += used;
    } else {
      unplaced->push_back({id, closest});
    }
  }
  return points;
}

constexpr int kReplaceRounds = 2;

double medianError(const std::vector<Vec3f>& known,
                   const std::vector<Vec2f>& pixels,
                   const Projection& p) {
  std::vector<double> errors;
  errors.reserve(known.size());
  for (size_t i = 0; i < known.size(); ++i)
    errors.push_back(reprojectionError(p, known[i], pixels[i]));
  return medianOf(std::move(errors));
}

// The fit and errors of a resection from `known` points seen at `pixels`.
struct Resection {
  const std::vector<Vec3f>& known;
  const std::vector<Vec2f>& pixels;
  const Mat3f& intrinsics;

  bool operator()(const std::vector<size_t>& indices, Projection* out) const {
    std::vector<Vec3f> pickedKnown;
    std::vector<Vec2f> pickedPixels;
    for (size_t i : indices) {
      pickedKnown.push_back(known[i]);
      pickedPixels.push_back(pixels[i]);
    }
    return resectCamera(pickedKnown, pickedPixels, intrinsics, out);
  }
  std::vector<double> errors(const Projection& candidate) const {
    std::vector<double> error;
    error.reserve(known.size());
    for (size_t i = 0; i < known.size(); ++i)
      error.push_back(reprojectionError(candidate, known[i], pixels[i]));
    return error;
  }
};

constexpr double kResectionFloorPx = 2.0;

// The resection of a camera not yet placed, made robust to LEDs decoded
// in the wrong place.
bool resectRobust(const std::vector<Vec3f>& known,
                  const std::vector<Vec2f>& pixels,
                  const Mat3f& intrinsics,
                  Projection* projection) {
  const Resection resection{known, pixels, intrinsics};
  auto errors = [&](const Projection& p) { return resection.errors(p); };
  std::vector<size_t> all(known.size());
  for (size_t i = 0; i < all.size(); ++i) all[i] = i;
  Projection plain, drawn;
  const bool fitted = resection(all, &plain);
  if (fitted)
    refitWithoutTheWorst(all.size(),
                         kMinResectionPoints,
                         kResectionFloorPx,
                         resection,
                         errors,
                         true,
                         &plain);
  const bool sampled = leastMedianFit(all.size(),
                                      kMinResectionPoints,
                                      kResectionFloorPx,
                                      resection,
                                      errors,
                                      errors,
                                      &drawn);
  if (sampled && (!fitted || drawnFitIsBetter(errors(drawn), errors(plain))))
    *projection = drawn;
  else if (fitted)
    *projection = plain;
  return fitted || sampled;
}

// Resects a placed camera from every triangulated LED it saw; keeps the
// new projection when it fits those LEDs better. True when it moved.
bool replaceCamera(const std::vector<Point3D>& points,
                   const SeenPoints& seen,
                   const Mat3f& intrinsics,
                   Projection* projection) {
  std::vector<Vec3f> known;
  std::vector<Vec2f> pixels;
  for (const Point3D& point : points)
    if (const Vec2f* pixel = findId(seen, point.id)) {
      known.push_back({point.x, point.y, point.z});
      pixels.push_back(*pixel);
    }
  // Most of these LEDs are placed well by now, so the fit of all of them
  // is close and its refits leave out the few the camera sees elsewhere;
  // no samples needed.
  const Resection resection{known, pixels, intrinsics};
  auto errors = [&](const Projection& p) { return resection.errors(p); };
  std::vector<size_t> all(known.size());
  for (size_t i = 0; i < all.size(); ++i) all[i] = i;
  Projection candidate;
  if (known.size() < kMinResectionPoints || !resection(all, &candidate))
    return false;
  refitWithoutTheWorst(known.size(),
                       kMinResectionPoints,
                       kResectionFloorPx,
                       resection,
                       errors,
                       true,
                       &candidate);
  if (!(medianError(known, pixels, candidate) <
        medianError(known, pixels, *projection)))
    return false;
  *projection = candidate;
  return true;
}

// Whether camera 0's and camera 1's optical axes (nearly) meet in front
// of both, (nearly) as far from each: their gap at the closest approach
// under 15 % of the baseline, the two distances within 20 % of each
// other.
bool axesMeetEquidistant(const RelativePose& pose) {
  const Mat3f& r = pose.cam1FromCam0Rotation;
  const Vec3f& t = pose.cam1FromCam0Translation;
  // Camera 1's centre −Rᵀt and axis Rᵀ e3 in camera 0's frame.
  const Vec3d centre = {
      -(double(r[0]) * t[0] + double(r[3]) * t[1] + double(r[6]) * t[2]),
      -(double(r[1]) * t[0] + double(r[4]) * t[1] + double(r[7]) * t[2]),
      -(double(r[2]) * t[0] + double(r[5]) * t[1] + double(r[8]) * t[2])};
  const Vec3d axis0 = {0, 0, 1};
  const Vec3d axis1 = {r[6], r[7], r[8]};
  const double baseline = norm(centre);
  // Closest points s·a0 and centre + u·a1.
  const double b = dot(axis0, axis1);
  const double d = dot(axis0, centre), e = dot(axis1, centre);
  const double denominator = 1 - b * b;
  if (!(denominator > 1e-9) || !(baseline > 1e-12)) return false;
  const double s = (d - b * e) / denominator;
  const double u = (b * d - e) / denominator;
  if (!(s > 0) || !(u > 0)) return false;
  const Vec3d gap = {centre[0] + u * axis1[0] - s * axis0[0],
                     centre[1] + u * axis1[1] - s * axis0[1],
                     centre[2] + u * axis1[2] - s * axis0[2]};
  return norm(gap) < 0.15 * baseline && std::abs(s - u) < 0.2 * std::max(s, u);
}

// LEDs seen by at least two of the placed cameras.
int32_t sharedLedCount(const std::vector<SeenPoints>& seen,
                       const std::vector<std::optional<Projection>>& placed) {
  std::vector<int32_t> ids;
  for (size_t k = 0; k < seen.size(); ++k)
    if (placed[k])
      for (const auto& entry : seen[k]) ids.push_back(entry.first);
  std::sort(ids.begin(), ids.end());
  int32_t shared = 0;
  for (size_t i = 1; i < ids.size(); ++i)
    if (ids[i] == ids[i - 1] && (i == 1 || ids[i - 1] != ids[i - 2])) ++shared;
  return shared;
}

// Per camera: the LEDs it saw, and how far from them it sees the points
// kept (median; NaN when it is not placed or saw none of them).
std::vector<SolveFit::View> viewFits(
    const std::vector<Point3D>& points,
    const std::vector<SeenPoints>& seen,
    const std::vector<std::optional<Projection>>& placed) {
  std::vector<SolveFit::View> fits(placed.size());
  std::vector<double> errors;
  for (size_t k = 0; k < placed.size(); ++k) {
    fits[k].seen = static_cast<int32_t>(seen[k].size());
    fits[k].medianReprojectionPx = std::nan("");
    fits[k].used = placed[k].has_value();
    if (!placed[k]) continue;
    errors.clear();
    for (const Point3D& point : points)
      if (const Vec2f* pixel = findId(seen[k], point.id))
        errors.push_back(
            reprojectionError(*placed[k], {point.x, point.y, point.z}, *pixel));
    if (!errors.empty()) fits[k].medianReprojectionPx = medianOf(errors);
  }
  return fits;
}

double medianReprojection(
    const std::vector<Point3D>& points,
    const std::vector<SeenPoints>& seen,
    const std::vector<std::optional<Projection>>& placed) {
  std::vector<double> errors;
  for (const Point3D& point : points)
    for (size_t k = 0; k < placed.size(); ++k) {
      if (!placed[k]) continue;
      const Vec2f* pixel = findId(seen[k], point.id);
      if (!pixel) continue;
      errors.push_back(
          reprojectionError(*placed[k], {point.x, point.y, point.z}, *pixel));
    }
  return errors.empty() ? 0 : medianOf(std::move(errors));
}

// See SolveFit::depthWeight. Chords span kChordIds IDs, long enough that
// position noise hardly changes their length, short enough that the
// string's pitch is the same over neighbouring chords; each is compared
// with the next kChordIds chords. Least squares for w over the pairs:
// w (along_i² − along_j²) = across_j² − across_i².
double chordDepthWeight(const std::vector<Point3D>& points,
                        const Mat3f& cam1FromCam0) {
  constexpr int32_t kChordIds = 6;
  constexpr int kMinPairs = 30;
  // Camera 1's optical axis in camera 0's frame is the third row of R.
  Vec3d axis = {cam1FromCam0[6], cam1FromCam0[7], cam1FromCam0[8] + 1.0};
  const double length = norm(axis);
  if (!(length > 1e-9)) return std::nan("");
  for (double& v : axis) v /= length;

  struct Chord {
    int32_t id;
    double along;   // squared part along the axis
    double across;  // squared rest
  };
  std::vector<Chord> chords;
  for (size_t i = 0; i < points.size(); ++i) {
    const Point3D& a = points[i];
    auto it = std::lower_bound(
        points.begin() + static_cast<std::ptrdiff_t>(i),
        points.end(),
        a.id + kChordIds,
        [](const Point3D& p, int32_t id) { return p.id < id; });
    if (it == points.end() || it->id != a.id + kChordIds) continue;
    const Vec3d d = {
        double(it->x) - a.x, double(it->y) - a.y, double(it->z) - a.z};
    const double on = dot(d, axis);
    chords.push_back({a.id, on * on, dot(d, d) - on * on});
  }
  double sxy = 0, sxx = 0;
  int pairs = 0;
  for (size_t i = 0; i < chords.size(); ++i)
    for (size_t j = i + 1;
         j < chords.size() && chords[j].id - chords[i].id <= kChordIds;
         ++j) {
      const double x = chords[i].along - chords[j].along;
      const double y = chords[j].across - chords[i].across;
      sxy += x * y;
      sxx += x * x;
      ++pairs;
    }
  if (pairs < kMinPairs || !(sxx > 0)) return std::nan("");
  return sxy / sxx;
}

// The LEDs both first cameras see: their IDs and pixels in each.
struct CommonPoints {
  std::vector<int32_t> ids;
  std::vector<Vec2f> pixels0, pixels1;
};

CommonPoints commonPoints(const SeenPoints& first, const SeenPoints& second) {
  CommonPoints common;
  for (const auto& [id, pixel] : first) {
    if (const Vec2f* other = findId(second, id)) {
      common.ids.push_back(id);
      common.pixels0.push_back(pixel);
      common.pixels1.push_back(*other);
    }
  }
  return common;
}

// Places each further camera from the seed points it sees; a camera that
// sees too few, or whose resection fails, is skipped and said why.
void resectFurtherCameras(std::span<const SolveCamera> cameras,
                          const std::vector<SeenPoints>& seen,
                          const std::vector<std::pair<int32_t, Vec3f>>& seeds,
                          std::vector<std::optional<Projection>>* placed,
                          std::vector<SolveFit::Skipped>* skipped) {
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
    if (known.size() < kMinResectionPoints)
      skipped->push_back({static_cast<int32_t>(k), true});
    else if (resectRobust(known, pixels, cameras[k].intrinsics, &projection))
      (*placed)[k] = projection;
    else
      skipped->push_back({static_cast<int32_t>(k), false});
  }
}

// Triangulates every LED. The linear pose and resections leave the cameras
// slightly at odds with each other. Placing every camera but the first
// again from all the LEDs now known, and triangulating again, brings them
// together; a camera keeps its new place only where it fits its LEDs
// better.
std::vector<Point3D> triangulateAndSettle(
    std::span<const SolveCamera> cameras,
    const std::vector<int32_t>& allIds,
    const std::vector<SeenPoints>& seen,
    std::vector<std::optional<Projection>>* placed,
    int32_t* sightings,
    std::vector<SolveFit::Unplaced>* unplaced) {
  std::vector<Point3D> points =
      triangulateAll(allIds, seen, *placed, sightings, unplaced);
  for (int round = 0; round < kReplaceRounds && points.size() >= 3; ++round) {
    bool moved = false;
    for (size_t k = 1; k < cameras.size(); ++k)
      if ((*placed)[k])
        moved |= replaceCamera(
            points, seen[k], cameras[k].intrinsics, &*(*placed)[k]);
    if (!moved) break;
    points = triangulateAll(allIds, seen, *placed, sightings, unplaced);
  }
  return points;
}

// The figures of the solve's fit: what each view contributed, how many
// views placed each LED, and how far the cameras see the points from
// where they were placed.
void describeFit(const std::vector<Point3D>& points,
                 const std::vector<SeenPoints>& seen,
                 const std::vector<std::optional<Projection>>& placed,
                 const RelativePose& pose,
                 SolveFit* fit) {
  fit->sharedLeds = sharedLedCount(seen, placed);
  fit->views = viewFits(points, seen, placed);
  for (const Point3D& point : points) {
    const auto used = static_cast<size_t>(point.views);
    if (fit->placedFromViews.size() <= used)
      fit->placedFromViews.resize(used + 1);
    ++fit->placedFromViews[used];
  }
  fit->medianReprojectionPx = medianReprojection(points, seen, placed);
  fit->depthWeight = chordDepthWeight(points, pose.cam1FromCam0Rotation);
  fit->angleOpen =
      std::count_if(placed.begin(),
                    placed.end(),
                    [](const auto& p) { return p.has_value(); }) == 2 &&
      axesMeetEquidistant(pose);
}

// Leaves out the isolated points (each then unplaced, by ID order with the
// rest); their count.
int32_t removeOutliers(std::vector<Point3D>* points,
                       std::vector<SolveFit::Unplaced>* unplaced) {
  const std::vector<Point3D> triangulated = *points;
  const int32_t removed = removeIsolatedPoints(points);
  for (size_t i = 0, j = 0; i < triangulated.size(); ++i) {
    if (j < points->size() && (*points)[j].id == triangulated[i].id) {
      ++j;
      continue;
    }
    unplaced->push_back({triangulated[i].id, 0, true});
  }
  std::sort(unplaced->begin(),
            unplaced->end(),
            [](const auto& a, const auto& b) { return a.id < b.id; });
  return removed;
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

  const CommonPoints common = commonPoints(seen[0], seen[1]);
  if (common.ids.size() < 8) return nullptr;
  RelativePose pose;
  if (!robustRelativePose(common.pixels0,
                          common.pixels1,
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
  for (size_t i = 0; i < common.ids.size(); ++i) {
    const std::array<Observation, 2> views = {
        {{*placed[0], common.pixels0[i]}, {*placed[1], common.pixels1[i]}}};
    Vec3f point;
    if (triangulatePoint(views, &point))
      seeds.push_back({common.ids[i], point});
  }
  std::vector<SolveFit::Skipped> skipped;
  resectFurtherCameras(cameras, seen, seeds, &placed, &skipped);

  int32_t sightings = 0;
  std::vector<SolveFit::Unplaced> unplaced;
  std::vector<Point3D> points = triangulateAndSettle(
      cameras, allIds, seen, &placed, &sightings, &unplaced);
  if (points.size() < 3) return nullptr;

  Solve3DResultPtr result(new Solve3DResult);
  result->triangulatedCount = static_cast<int32_t>(points.size());
  result->outliersRemoved = removeOutliers(&points, &unplaced);
  SolveFit& fit = result->fit;
  fit.unplaced = std::move(unplaced);
  fit.skippedViews = std::move(skipped);
  fit.sightingsUsed = sightings;
  describeFit(points, seen, placed, pose, &fit);
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

namespace {

// The solves of one search by angle, and the rule for taking part.
class FovTrials {
 public:
  explicit FovTrials(
      const std::function<Solve3DResultPtr(double fovDeg)>& solveAt)
      : solveAt_(solveAt) {}

  // The solve at `fov`, solved once.
  const Solve3DResult* at(int fov) {
    for (const auto& [tried, result] : trials_)
      if (tried == fov) return result.get();
    Solve3DResultPtr result = fov > 0 && fov < 180 ? solveAt_(fov) : nullptr;
    if (result && result->triangulatedCount < 3) result.reset();
    if (result) most_ = std::max(most_, result->fit.sightingsUsed);
    trials_.emplace_back(fov, std::move(result));
    return trials_.back().second.get();
  }

  bool takesPart(const Solve3DResult* result) const {
    return result && result->fit.sightingsUsed >= kFovSearchMinShare * most_;
  }
  const Solve3DResult* valid(int fov) {
    const Solve3DResult* result = at(fov);
    return takesPart(result) ? result : nullptr;
  }

  Solve3DResultPtr take(int fov) {
    for (auto& [tried, result] : trials_)
      if (tried == fov) return std::move(result);
    return nullptr;
  }

 private:
  const std::function<Solve3DResultPtr(double fovDeg)>& solveAt_;
  std::vector<std::pair<int, Solve3DResultPtr>> trials_;
  int32_t most_ = 0;
};

double errorOf(const Solve3DResult* result) {
  return result ? result->fit.medianReprojectionPx : HUGE_VAL;
}

// The angle of [low, high] in steps of `step` whose solve explains the
// pictures best (the smaller angle on ties); `best` when none does better.
int bestFitting(FovTrials& trials, int best, int low, int high, int step) {
  double bestError = errorOf(trials.valid(best));
  for (int fov = low; fov <= high; fov += step) {
    const double error = errorOf(trials.valid(fov));
    if (error < bestError || (error == bestError && fov < best)) {
      best = fov;
      bestError = error;
    }
  }
  return best;
}

double weightOf(const Solve3DResult* result) {
  return result ? result->fit.depthWeight : std::nan("");
}

// The angle, to the degree, at which the string's chords come out even
// (depth weight 1; it falls as the angle grows); 0 when none does.
int evenSpacingAngle(FovTrials& trials) {
  int low = 0;
  // An angle narrower than the grid's first is tried when the string is
  // already stretched there.
  const int first = weightOf(trials.valid(kFovSearchFirst)) < 1
                        ? kFovSearchFirst - kFovSearchStep
                        : kFovSearchFirst;
  for (int fov = first; fov + kFovSearchStep <= kFovSearchLast;
       fov += kFovSearchStep) {
    const double a = weightOf(trials.valid(fov));
    const double b = weightOf(trials.valid(fov + kFovSearchStep));
    if (a >= 1 && b <= 1) {
      low = fov;
      break;
    }
  }
  if (low == 0) return 0;
  int best = 0;
  double closest = HUGE_VAL;
  for (int fov = low; fov <= low + kFovSearchStep; ++fov) {
    const double distance = std::abs(weightOf(trials.valid(fov)) - 1);
    if (distance < closest) {
      closest = distance;
      best = fov;
    }
  }
  return best;
}

}  // namespace

bool explainsThePictures(const Solve3DResult& result) {
  return result.fit.medianReprojectionPx <= kMaxSolveReprojectionPx &&
         2 * int64_t{result.triangulatedCount} >= result.fit.sharedLeds;
}

Solve3DResultPtr pickFieldOfView(
    const std::function<Solve3DResultPtr(double fovDeg)>& solveAt,
    double fovDeg,
    FovChoice* choice) {
  if (fovDeg > 0) {
    Solve3DResultPtr result = solveAt(fovDeg);
    if (!result || !explainsThePictures(*result)) return nullptr;
    if (choice) *choice = {fovDeg, FovSource::kGiven};
    return result;
  }
  // Judged by how well each angle explains the pictures, not by how flat
  // it makes the cloud: a narrower angle flattens any solid prop. A wrong
  // angle can also make most rays miss, or leave a view out of most LEDs
  // (a third camera placed from a distorted cloud does that), so only
  // results within kFovSearchMinShare of the most sightings used take
  // part.
  FovTrials trials(solveAt);
  for (int fov = kFovSearchFirst; fov <= kFovSearchLast; fov += kFovSearchStep)
    (void)trials.at(fov);
  int best = 0;
  for (int fov = kFovSearchFirst; fov <= kFovSearchLast; fov += kFovSearchStep)
    if (trials.valid(fov) &&
        (best == 0 || errorOf(trials.valid(fov)) < errorOf(trials.valid(best))))
      best = fov;
  if (best == 0) return nullptr;

  FovChoice chosen{double(best), FovSource::kPictures};
  if (!trials.valid(best)->fit.angleOpen) {
    best = bestFitting(trials, best, best - 8, best + 8, 2);
    best = bestFitting(trials, best, best - 1, best + 1, 1);
    chosen.fovDeg = best;
  } else if (int even = evenSpacingAngle(trials); even > 0) {
    chosen = {double(even), FovSource::kLedSpacing};
  } else if (trials.valid(kFovAssumed)) {
    chosen = {double(kFovAssumed), FovSource::kAssumed};
  }
  Solve3DResultPtr result = trials.take(static_cast<int>(chosen.fovDeg));
  if (!result || !explainsThePictures(*result)) return nullptr;
  if (choice) *choice = chosen;
  return result;
}

namespace {

// The solve of the views at `kept` (indices into `views`), its fit's
// views given back in the order of `views`.
Solve3DResultPtr solveSubset(std::span<const ScanView> views,
                             const std::vector<size_t>& kept,
                             double fovDeg,
                             FovChoice* choice) {
  auto solveAt = [&](double fov) {
    std::vector<SolveCamera> cameras;
    cameras.reserve(kept.size());
    for (size_t k : kept) cameras.push_back(solveCamera(views[k], fov));
    return reconstructViews(cameras);
  };
  Solve3DResultPtr result = pickFieldOfView(solveAt, fovDeg, choice);
  if (!result) return nullptr;
  std::vector<SolveFit::View> all(views.size());
  for (size_t k = 0; k < views.size(); ++k) {
    all[k].seen = static_cast<int32_t>(std::count_if(
        views[k].points.begin(), views[k].points.end(), [](const ViewPoint& p) {
          return !p.estimated;
        }));
    all[k].medianReprojectionPx = std::nan("");
    all[k].used = false;
  }
  for (size_t i = 0; i < kept.size() && i < result->fit.views.size(); ++i) {
    all[kept[i]] = result->fit.views[i];
    all[kept[i]].used = true;
  }
  for (SolveFit::Skipped& skipped : result->fit.skippedViews) {
    skipped.view =
        static_cast<int32_t>(kept[static_cast<size_t>(skipped.view)]);
    all[static_cast<size_t>(skipped.view)].used = false;
  }
  result->fit.views = std::move(all);
  return result;
}

// The median of the other used views' reprojection errors.
double othersMedian(const std::vector<SolveFit::View>& fits, size_t view) {
  std::vector<double> others;
  for (size_t k = 0; k < fits.size(); ++k)
    if (k != view && fits[k].used &&
        std::isfinite(fits[k].medianReprojectionPx))
      others.push_back(fits[k].medianReprojectionPx);
  return others.empty() ? HUGE_VAL : medianOf(std::move(others));
}

std::string pixelsText(double px) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f px", px);
  return text;
}

}  // namespace

Solve3DResultPtr solveViews(std::span<const ScanView> views,
                            double fovDeg,
                            FovChoice* choice) {
  try {
    std::vector<size_t> kept(views.size());
    for (size_t k = 0; k < kept.size(); ++k) kept[k] = k;
    FovChoice chosen;
    Solve3DResultPtr result = solveSubset(views, kept, fovDeg, &chosen);
    std::vector<SolveFit::LeftOut> leftOut;
    // With three views or more, one that spoils the solve is left out: the
    // solve fails with it but not without it, or it sees the LEDs far from
    // where the others place them (its camera moved during its scan, or it
    // filmed another prop). One at a time, the worst first, while two
    // views remain.
    while (kept.size() >= 3) {
      size_t worst = views.size();
      std::string why;
      if (!result) {
        double best = HUGE_VAL;
        for (size_t i = 0; i < kept.size(); ++i) {
          std::vector<size_t> rest = kept;
          rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(i));
          FovChoice restChoice;
          Solve3DResultPtr without =
              solveSubset(views, rest, fovDeg, &restChoice);
          if (without && without->fit.medianReprojectionPx < best) {
            best = without->fit.medianReprojectionPx;
            worst = kept[i];
          }
        }
        why = "the views do not solve with it";
      } else {
        double worstError = 0;
        for (size_t k : kept) {
          const SolveFit::View& fit = result->fit.views[k];
          const double error = fit.used ? fit.medianReprojectionPx : HUGE_VAL;
          const double others = othersMedian(result->fit.views, k);
          if (std::isnan(error) || !(others < HUGE_VAL)) continue;
          if (error > std::max(kBadViewFactor * others, kBadViewPx) &&
              error > worstError) {
            worstError = error;
            worst = k;
            why = fit.used ? "it sees the LEDs " + pixelsText(error) +
                                 " from where the other views place them "
                                 "(median; theirs " +
                                 pixelsText(others) + ")"
                           : "it could not be placed";
          }
        }
      }
      if (worst == views.size()) break;
      std::vector<size_t> rest;
      for (size_t k : kept)
        if (k != worst) rest.push_back(k);
      FovChoice restChoice;
      Solve3DResultPtr without = solveSubset(views, rest, fovDeg, &restChoice);
      if (!without) break;
      leftOut.push_back({static_cast<int32_t>(worst), why});
      kept = std::move(rest);
      result = std::move(without);
      chosen = restChoice;
    }
    if (!result) return nullptr;
    result->fit.leftOut = std::move(leftOut);
    if (choice) *choice = chosen;
    return result;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::string fovChoiceText(const FovChoice& choice) {
  const std::string angle = std::to_string(static_cast<int64_t>(std::clamp(
                                std::trunc(choice.fovDeg), -1e9, 1e9))) +
                            "\u00b0";
  const char* remedy =
      " Set the FOV, or add a view from another height, to be sure.";
  switch (choice.source) {
    case FovSource::kGiven:
      return "";
    case FovSource::kPictures:
      return "Field of view searched: " + angle + " fits the pictures best.";
    case FovSource::kLedSpacing:
      return "Field of view searched: these views fit every angle (level "
             "with each other, at one distance, aimed at one point); " +
             angle + " keeps the LED spacing even." + remedy;
    case FovSource::kAssumed:
      return "Field of view searched: these views fit every angle; " + angle +
             " assumed, a typical camera's." + remedy;
  }
  return "";
}

namespace {

std::string skippedText(const SolveFit& fit) {
  std::string text;
  for (const SolveFit::Skipped& skipped : fit.skippedViews)
    text += "; view " + std::to_string(int64_t{skipped.view} + 1) +
            " skipped: " +
            (skipped.tooFewShared ? "too few LEDs in common"
                                  : "could not be placed");
  for (const SolveFit::LeftOut& out : fit.leftOut)
    text += "; view " + std::to_string(int64_t{out.view} + 1) +
            " left out: " + out.why;
  return text;
}

}  // namespace

std::string solveDetails(const Solve3DResult& result) {
  const SolveFit& fit = result.fit;
  std::string text;
  for (size_t k = 0; k < fit.views.size(); ++k) {
    const SolveFit::View& view = fit.views[k];
    text += "View " + std::to_string(k + 1) + ": " + std::to_string(view.seen) +
            " LEDs seen";
    if (std::isfinite(view.medianReprojectionPx))
      text += ", " + pixelsText(view.medianReprojectionPx) +
              " from the solve (median)";
    std::string why;
    for (const SolveFit::LeftOut& out : fit.leftOut)
      if (static_cast<size_t>(out.view) == k) why = out.why;
    for (const SolveFit::Skipped& skipped : fit.skippedViews)
      if (static_cast<size_t>(skipped.view) == k)
        why = skipped.tooFewShared ? "too few LEDs in common"
                                   : "it could not be placed";
    text += view.used ? ", used\n" : ", left out: " + why + "\n";
  }
  text += "LEDs placed from ";
  bool first = true;
  for (size_t k = 2; k < fit.placedFromViews.size(); ++k) {
    if (fit.placedFromViews[k] == 0) continue;
    text += (first ? "" : ", from ") + std::to_string(k) +
            " views: " + std::to_string(fit.placedFromViews[k]);
    first = false;
  }
  if (first) text += "2 views: 0";
  text += "; estimated: " + std::to_string(result.interpolatedCount) + "\n";
  return text;
}

std::string ledsTakenAway(const Solve3DResult& before,
                          const Solve3DResult& after) {
  std::vector<int32_t> placed;
  for (const Point3D& p : after.points)
    if (!p.interpolated) placed.push_back(p.id);
  std::string text;
  for (const Point3D& p : before.points) {
    if (p.interpolated ||
        std::binary_search(placed.begin(), placed.end(), p.id))
      continue;
    text += "LED " + std::to_string(p.id) + ": ";
    auto why = std::lower_bound(
        after.fit.unplaced.begin(),
        after.fit.unplaced.end(),
        p.id,
        [](const SolveFit::Unplaced& u, int32_t id) { return u.id < id; });
    if (why == after.fit.unplaced.end() || why->id != p.id)
      text += "not seen by two placed views any more\n";
    else if (why->isolated)
      text += "far from its neighbours on the string, taken for an outlier\n";
    else if (std::isfinite(why->disagreementPx))
      text += "the views that saw it disagree by " +
              pixelsText(why->disagreementPx) + " at best\n";
    else
      text += "the views that saw it do not meet in front of the cameras\n";
  }
  return text;
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
         "\u00b0)" + skippedText(result.fit);
}

}  // namespace pxo
