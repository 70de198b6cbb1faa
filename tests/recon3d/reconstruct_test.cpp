#include "recon3d/reconstruct.h"

#include "sim/rig.h"
#include "sim/solve_scorer.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>
#include <string_view>

#include <gtest/gtest.h>

namespace pxo {
namespace {

// Built into a new string: in-place std::string::replace trips a false
// -Wrestrict in GCC 12 at -O3.
std::string replaceAll(const std::string& text,
                       std::string_view from,
                       std::string_view to) {
  std::string out;
  size_t start = 0;
  for (size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, start)) {
    out.append(text, start, at - start).append(to);
    start = at + from.size();
  }
  return out.append(text, start);
}

using sim::poseAround;
using sim::syntheticView;
using Leds = std::vector<std::array<double, 3>>;

constexpr int kWidth = 1024, kHeight = 576;
constexpr double kFov = 60;

Leds tree(int count = 150) { return sim::treeSpiral(count, 2, 0.6, 6); }

std::vector<ScanView> viewsOf(const Leds& leds,
                              std::initializer_list<double> yaws,
                              double noisePx = 0) {
  std::vector<ScanView> views;
  uint64_t seed = 1;
  for (double yaw : yaws)
    views.push_back(syntheticView(
        leds, poseAround(yaw, 4), kFov, kWidth, kHeight, noisePx, seed++));
  return views;
}

Solve3DResultPtr solveAt(const std::vector<ScanView>& views, double fov) {
  std::vector<SolveCamera> cameras;
  for (const ScanView& view : views) cameras.push_back(solveCamera(view, fov));
  return reconstructViews(cameras);
}

const Point3D* pointOf(const Solve3DResult& result, int32_t id) {
  for (const Point3D& p : result.points)
    if (p.id == id) return &p;
  return nullptr;
}

// Where `p` puts `x` in the picture.
Vec2f project(const Projection& p, const Vec3f& x) {
  float h[3];
  for (size_t r = 0; r < 3; ++r)
    h[r] = p[r * 4] * x[0] + p[r * 4 + 1] * x[1] + p[r * 4 + 2] * x[2] +
           p[r * 4 + 3];
  return {h[0] / h[2], h[1] / h[2]};
}

TEST(TriangulatePoint, RecoversAPointAndRejectsBadRays) {
  const Mat3f k = cameraIntrinsics(kFov, kWidth, kHeight);
  const Mat3f identity = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  const Projection p0 = makeProjection(k, identity, {0, 0, 0});
  const Projection p1 = makeProjection(k, identity, {-1, 0, 0});
  const Vec3f truth = {0.3f, -0.4f, 4.0f};
  std::array<Observation, 2> views = {
      {{p0, project(p0, truth)}, {p1, project(p1, truth)}}};
  Vec3f found;
  ASSERT_TRUE(triangulatePoint(views, &found));
  for (size_t i = 0; i < 3; ++i) EXPECT_NEAR(found[i], truth[i], 1e-3);

  EXPECT_FALSE(triangulatePoint(std::span(views).first(1), &found));

  // Rays that miss each other by 30 px across the baseline: about 15 px
  // RMS, more than the 12 px allowed. 20 px (10 px RMS) still passes.
  views[1].pixel[1] += 30;
  EXPECT_FALSE(triangulatePoint(views, &found));
  views[1].pixel[1] -= 10;
  EXPECT_TRUE(triangulatePoint(views, &found));

  // Behind both cameras.
  const Vec3f behind = {0.3f, -0.4f, -4.0f};
  Projection flipped0 = p0, flipped1 = p1;
  for (float& v : flipped0) v = -v;
  for (float& v : flipped1) v = -v;
  std::array<Observation, 2> back = {
      {{p0, project(flipped0, behind)}, {p1, project(flipped1, behind)}}};
  EXPECT_FALSE(triangulatePoint(back, &found));
}

TEST(RelativePose, RecoversRotationAndBaselineDirection) {
  const Leds leds = tree();
  const std::vector<ScanView> views = viewsOf(leds, {-20, 20});
  std::vector<Vec2f> x0, x1;
  for (const ViewPoint& a : views[0].points)
    for (const ViewPoint& b : views[1].points)
      if (a.id == b.id) {
        x0.push_back({a.x, a.y});
        x1.push_back({b.x, b.y});
      }
  const Mat3f k = cameraIntrinsics(kFov, kWidth, kHeight);
  RelativePose pose;
  ASSERT_TRUE(estimateRelativePose(x0, x1, k, k, &pose));
  // Camera 1 is camera 0 turned 40° about the vertical axis; pictures
  // count rows downwards, so in camera terms it turns the other way round.
  const double angle = 40 * 3.14159265358979 / 180;
  const Mat3f expected = {float(std::cos(angle)),
                          0,
                          float(-std::sin(angle)),
                          0,
                          1,
                          0,
                          float(std::sin(angle)),
                          0,
                          float(std::cos(angle))};
  for (size_t i = 0; i < 9; ++i)
    EXPECT_NEAR(pose.cam1FromCam0Rotation[i], expected[i], 1e-3) << i;
  // The centre of camera 1 in camera 0's frame, −Rᵀt, lies to the right
  // and forwards by the chord of the 40° arc.
  const Vec3f& t = pose.cam1FromCam0Translation;
  const auto& r = pose.cam1FromCam0Rotation;
  const Vec3d centre = {-(r[0] * t[0] + r[3] * t[1] + r[6] * t[2]),
                        -(r[1] * t[0] + r[4] * t[1] + r[7] * t[2]),
                        -(r[2] * t[0] + r[5] * t[1] + r[8] * t[2])};
  EXPECT_NEAR(centre[0], -std::cos(angle / 2), 1e-3);
  EXPECT_NEAR(centre[1], 0, 1e-3);
  EXPECT_NEAR(centre[2], std::sin(angle / 2), 1e-3);

  EXPECT_FALSE(estimateRelativePose(
      std::span(x0).first(7), std::span(x1).first(7), k, k, &pose));
}

TEST(ResectCamera, PlacesAThirdCameraFromKnownPoints) {
  const Leds leds = tree(60);
  const std::vector<ScanView> views = viewsOf(leds, {-20, 20, 60});
  const Mat3f k = cameraIntrinsics(kFov, kWidth, kHeight);
  // Points in camera 0's frame (y and the pose turned), from the truth.
  const sim::CameraPose pose0 = poseAround(-20, 4);
  std::vector<Vec3f> known;
  std::vector<Vec2f> pixels;
  const double yaw = -20 * 3.14159265358979 / 180;
  for (const ViewPoint& p : views[2].points) {
    const auto& w = leds[static_cast<size_t>(p.id - 1)];
    const double dx = w[0] - pose0.position[0], dz = w[2] - pose0.position[2];
    known.push_back({float(std::cos(yaw) * dx - std::sin(yaw) * dz),
                     float(-w[1]),
                     float(std::sin(yaw) * dx + std::cos(yaw) * dz)});
    pixels.push_back({p.x, p.y});
  }
  Projection projection;
  ASSERT_TRUE(resectCamera(known, pixels, k, &projection));
  for (size_t i = 0; i < known.size(); ++i) {
    const Vec2f seen = project(projection, known[i]);
    EXPECT_NEAR(seen[0], pixels[i][0], 0.05);
    EXPECT_NEAR(seen[1], pixels[i][1], 0.05);
  }
  EXPECT_FALSE(resectCamera(
      std::span(known).first(5), std::span(pixels).first(5), k, &projection));
  Mat3f flat = k;
  flat[0] = 0;
  EXPECT_FALSE(resectCamera(known, pixels, flat, &projection));
}

// A 12 × 10 matrix panel whose pixels stand out of the sheet unevenly by
// up to `relief` metres either way.
Leds panel(double relief) {
  Leds leds;
  for (int r = 0; r < 10; ++r)
    for (int c = 0; c < 12; ++c)
      leds.push_back({(c - 5.5) * 0.12,
                      (4.5 - r) * 0.12,
                      relief * (((r * 7 + c * 3) % 5) - 2) / 2});
  return leds;
}

TEST(ReconstructViews, FlatPropComesOutPlanar) {
  const Leds leds = panel(0.02);
  FovChoice fov;
  Solve3DResultPtr result =
      solveViews(viewsOf(leds, {-25, 15}, 0.3), kFov, &fov);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->planar, 1);
  EXPECT_EQ(result->extentN, 0);
  EXPECT_GT(result->thicknessRms, 0);
  EXPECT_EQ(result->pointCount, 120);
  for (const Point3D& p : result->points) EXPECT_EQ(p.z, 0);
  EXPECT_EQ(fov.source, FovSource::kGiven);
  EXPECT_EQ(solveSummary(*result, 2, fov.fovDeg),
            "120 points, 120 triangulated from 2 views, planar (FOV 60°)");
  // Flattened, the panel is off only by its relief (1.3 % of its width).
  EXPECT_LT(sim::scoreSolve(leds, *result).rmsFraction, 0.015);
}

TEST(ReconstructViews, ExactlyFlatPropIsPosedByItsHomography) {
  // Points on one plane leave the eight-point system a three-dimensional
  // null space; the plane's homography gives the pose instead, with the
  // field of view given and searched.
  const Leds leds = panel(0);
  const std::vector<ScanView> views = viewsOf(leds, {-25, 5}, 0.3);
  for (double fov : {kFov, 0.0}) {
    FovChoice chosen;
    Solve3DResultPtr result = solveViews(views, fov, &chosen);
    ASSERT_TRUE(result) << fov;
    EXPECT_EQ(result->triangulatedCount, 120);
    EXPECT_EQ(result->planar, 1);
    EXPECT_LT(result->fit.medianReprojectionPx, 0.5);
    const sim::SolveScore score = sim::scoreSolve(leds, *result);
    std::printf("flat panel, FOV %s: chose %.0f, %s\n",
                fov > 0 ? "given" : "searched",
                chosen.fovDeg,
                score.summary().c_str());
    EXPECT_LE(score.rmsFraction, 0.01);
  }
}

TEST(ReconstructViews, NeedsEightCommonLeds) {
  const Leds leds = tree(40);
  std::vector<ScanView> views = viewsOf(leds, {-20, 20});
  // Camera 1 keeps LEDs 1 … 8 only, and LED 8 is estimated in camera 0
  // the second time round.
  std::erase_if(views[1].points, [](const ViewPoint& p) { return p.id > 8; });
  EXPECT_TRUE(solveAt(views, kFov));
  views[0].points[7].estimated = true;
  EXPECT_FALSE(solveAt(views, kFov));
  EXPECT_FALSE(solveAt({views[0]}, kFov));
}

TEST(ReconstructViews, ThirdViewWithoutEnoughSeedsIsSkippedButCounts) {
  const Leds leds = tree(100);
  std::vector<ScanView> views = viewsOf(leds, {-20, 20, 50});
  // LED 50 is seen only by the third camera, which shares only five of
  // the first two cameras' LEDs.
  for (int v = 0; v < 2; ++v)
    std::erase_if(views[static_cast<size_t>(v)].points,
                  [](const ViewPoint& p) { return p.id == 50; });
  std::erase_if(views[2].points,
                [](const ViewPoint& p) { return p.id != 50 && (p.id > 5); });
  Solve3DResultPtr result = solveAt(views, kFov);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->triangulatedCount, 99);
  EXPECT_EQ(result->interpolatedCount, 1);
  const Point3D* p = pointOf(*result, 50);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->interpolated, 1);
  EXPECT_EQ(solveSummary(*result, 3, kFov),
            "100 points, 99 triangulated from 3 views (FOV 60\u00b0); view 3 "
            "skipped: too few LEDs in common");

  // With a sixth shared LED the third camera is placed, and LED 50 (seen
  // by it alone) still has only one ray.
  views[2].points.push_back(viewsOf(leds, {50})[0].points[5]);
  result = solveAt(views, kFov);
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->fit.skippedViews.empty());
  EXPECT_EQ(result->triangulatedCount, 99);
}

// Views whose IDs mostly disagree (a scan of another prop, or one read in
// the wrong order) triangulate few LEDs: the solve fails rather than
// giving a confident wrong cloud.
TEST(ReconstructViews, ASolveThatDoesNotExplainThePicturesFails) {
  const Leds leds = tree(150);
  std::vector<ScanView> views = viewsOf(leds, {-20, 20}, 0.3);
  for (ViewPoint& p : views[1].points)
    if (p.id % 5 != 0) p.id = 151 - p.id;
  FovChoice chosen;
  EXPECT_FALSE(solveViews(views, kFov, &chosen));
  EXPECT_FALSE(solveViews(views, 0, &chosen));
  // Every LED right: it solves, and explains the pictures.
  views = viewsOf(leds, {-20, 20}, 0.3);
  Solve3DResultPtr result = solveViews(views, kFov, &chosen);
  ASSERT_TRUE(result);
  EXPECT_TRUE(explainsThePictures(*result));
  EXPECT_LT(result->fit.medianReprojectionPx, 1.5);
  EXPECT_EQ(result->fit.sharedLeds, 150);
}

TEST(ReconstructViews, RaysThatMissAreNotTriangulated) {
  const Leds leds = tree(100);
  std::vector<ScanView> views = viewsOf(leds, {-20, 20});
  for (ViewPoint& p : views[1].points)
    if (p.id == 30) p.y += 40;  // across the epipolar lines
  Solve3DResultPtr result = solveAt(views, kFov);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->triangulatedCount, 99);
  const Point3D* p = pointOf(*result, 30);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->interpolated, 1);
}

TEST(ReconstructViews, IsolatedFarLedIsRemovedButNotTheEnds) {
  Leds leds = tree(100);
  leds[49][0] += 1.5;  // LED 50, far from both neighbours
  leds[0][0] -= 1.5;   // the first LED: never removed
  Solve3DResultPtr result = solveAt(viewsOf(leds, {-20, 20}), kFov);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->triangulatedCount, 100);
  EXPECT_EQ(result->outliersRemoved, 1);
  EXPECT_EQ(pointOf(*result, 50)->interpolated, 1);
  EXPECT_EQ(pointOf(*result, 1)->interpolated, 0);
  EXPECT_EQ(result->pointCount, 100);
}

TEST(RemoveIsolatedPoints, DecidesOnPositionsBeforeRemoval) {
  std::vector<Point3D> points;
  for (int i = 1; i <= 20; ++i) points.push_back({i, float(i), 0, 0, 0});
  points[0].y = 50;   // the first: kept however far
  points[19].y = 50;  // the last likewise
  points[7].y = 9;    // 8 and 9 are far from 7 and 10, but close to each
  points[8].y = 9;    // other: kept
  points[13].y = 9;   // 14, far from 13 and 15: removed
  EXPECT_EQ(removeIsolatedPoints(&points), 1);
  ASSERT_EQ(points.size(), 19u);
  EXPECT_EQ(points[0].id, 1);
  EXPECT_EQ(points[18].id, 20);
  for (const Point3D& p : points) EXPECT_NE(p.id, 14);

  std::vector<Point3D> same(5, Point3D{1, 1, 1, 1, 0});
  EXPECT_EQ(removeIsolatedPoints(&same), 0);  // median gap 0
}

TEST(InterpolateMissingIds, FillsGapsButNotBeyondTheEnds) {
  std::vector<Point3D> points = {{3, 0, 0, 0, 0}, {7, 4, 8, 0, 0}};
  EXPECT_EQ(interpolateMissingIds({1, 3, 4, 6, 7, 9}, &points), 2);
  ASSERT_EQ(points.size(), 4u);
  EXPECT_EQ(points[1].id, 4);
  EXPECT_FLOAT_EQ(points[1].x, 1);
  EXPECT_FLOAT_EQ(points[1].y, 2);
  EXPECT_EQ(points[1].interpolated, 1);
  EXPECT_EQ(points[2].id, 6);
  EXPECT_FLOAT_EQ(points[2].x, 3);
}

// What a view more took away is said LED by LED; estimated points are not
// placed, so losing them is no loss.
TEST(LedsTakenAway, SaysWhichAndWhy) {
  Solve3DResult before, after;
  for (int32_t id : {1, 2, 3, 4, 5})
    before.points.push_back({id, 0, 0, 0, 0, 2});
  before.points.push_back({6, 0, 0, 0, 1, 0});
  after.points.push_back({1, 0, 0, 0, 0, 3});
  after.points.push_back({2, 0, 0, 0, 1, 0});
  after.fit.unplaced = {{2, 14.24, false}, {3, 0, true}, {4, HUGE_VAL, false}};
  EXPECT_EQ(ledsTakenAway(before, after),
            "LED 2: the views that saw it disagree by 14.2 px at best\n"
            "LED 3: far from its neighbours on the string, taken for an "
            "outlier\n"
            "LED 4: the views that saw it do not meet in front of the "
            "cameras\n"
            "LED 5: not seen by two placed views any more\n");
  EXPECT_EQ(ledsTakenAway(before, before), "");
}

// A fake solver: per angle, the median reprojection error, the count and
// the depth weight; angles not listed fail.
struct FakeFit {
  double error;
  int32_t count;
  double weight = std::nan("");
  bool open = false;  // the arrangement leaves the angle open
};
std::function<Solve3DResultPtr(double)> fakeSolver(
    std::map<int, FakeFit> byFov, std::vector<double>* asked = nullptr) {
  return [byFov, asked](double fov) -> Solve3DResultPtr {
    if (asked) asked->push_back(fov);
    auto it = byFov.find(static_cast<int>(fov));
    if (it == byFov.end()) return nullptr;
    Solve3DResultPtr r(new Solve3DResult);
    r->fit.medianReprojectionPx = it->second.error;
    r->triangulatedCount = it->second.count;
    r->fit.sightingsUsed = 2 * it->second.count;
    r->fit.depthWeight = it->second.weight;
    r->fit.angleOpen = it->second.open;
    return r;
  };
}

TEST(PickFieldOfView, GivenAngleIsSolvedOnce) {
  std::vector<double> asked;
  FovChoice chosen;
  EXPECT_FALSE(pickFieldOfView(fakeSolver({}, &asked), 73.5, &chosen));
  EXPECT_EQ(asked, std::vector<double>{73.5});
  EXPECT_TRUE(pickFieldOfView(fakeSolver({{90, {0.5, 10}}}), 90, &chosen));
  EXPECT_EQ(chosen.fovDeg, 90);
  EXPECT_EQ(chosen.source, FovSource::kGiven);
  EXPECT_EQ(fovChoiceText(chosen), "");
  asked.clear();
  EXPECT_FALSE(pickFieldOfView(fakeSolver({}, &asked), -1, &chosen));
  EXPECT_EQ(asked,
            (std::vector<double>{50, 60, 70, 80, 90, 100, 110, 120, 130}));
}

TEST(PickFieldOfView, TheBestFitIsRefinedToTheDegree) {
  // 70 fits best on the coarse grid; the fit is best at 73.
  std::map<int, FakeFit> fits;
  for (int fov = 50; fov <= 130; ++fov)
    fits[fov] = {0.4 + 0.3 * (fov - 73) * (fov - 73), 100};
  FovChoice chosen;
  Solve3DResultPtr r = pickFieldOfView(fakeSolver(fits), 0, &chosen);
  ASSERT_TRUE(r);
  EXPECT_EQ(chosen.fovDeg, 73);
  EXPECT_EQ(chosen.source, FovSource::kPictures);
  EXPECT_DOUBLE_EQ(r->fit.medianReprojectionPx, 0.4);
  EXPECT_EQ(fovChoiceText(chosen),
            "Field of view searched: 73\u00b0 fits the pictures best.");

  // A better fit from a solve that lost most of its LEDs is a broken one:
  // 80 keeps 89 % of the most and does not take part.
  fits[80] = {0.1, 89};
  r = pickFieldOfView(fakeSolver(fits), 0, &chosen);
  ASSERT_TRUE(r);
  EXPECT_EQ(chosen.fovDeg, 73);
}

TEST(PickFieldOfView, AnOpenAngleFallsToTheLedSpacingThenToTheAssumedAngle) {
  // Two views whose arrangement fits every angle; the depth weight falls
  // through 1 between 60 and 70, nearest at 63.
  std::map<int, FakeFit> fits;
  for (int fov = 50; fov <= 130; ++fov)
    fits[fov] = {0.5 - 0.002 * fov, 100, 1.0 - 0.03 * (fov - 63), true};
  FovChoice chosen;
  ASSERT_TRUE(pickFieldOfView(fakeSolver(fits), 0, &chosen));
  EXPECT_EQ(chosen.fovDeg, 63);
  EXPECT_EQ(chosen.source, FovSource::kLedSpacing);
  EXPECT_NE(fovChoiceText(chosen).find("63\u00b0 keeps the LED spacing even"),
            std::string::npos);

  // No chords to read: the assumed angle.
  for (auto& [fov, fit] : fits) fit.weight = std::nan("");
  ASSERT_TRUE(pickFieldOfView(fakeSolver(fits), 0, &chosen));
  EXPECT_EQ(chosen.fovDeg, kFovAssumed);
  EXPECT_EQ(chosen.source, FovSource::kAssumed);
}

// The diagnostics switch is whether the variable exists at all.
void setPoseDebug(bool on) {
#if defined(_WIN32)
  _putenv_s("PXO_POSE_DEBUG", on ? "1" : "");  // "" removes it
#else
  if (on)
    ::setenv("PXO_POSE_DEBUG", "", 1);
  else
    ::unsetenv("PXO_POSE_DEBUG");
#endif
}

TEST(ReconstructViews, PoseDebugPrintsItsLinesAndChangesNothing) {
  const std::vector<ScanView> views = viewsOf(tree(), {-20, 20}, 0.5);
  setPoseDebug(false);
  testing::internal::CaptureStderr();
  Solve3DResultPtr quiet = solveAt(views, kFov);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  setPoseDebug(true);
  testing::internal::CaptureStderr();
  Solve3DResultPtr loud = solveAt(views, kFov);
  const std::string text = testing::internal::GetCapturedStderr();
  setPoseDebug(false);
  ASSERT_TRUE(quiet);
  ASSERT_TRUE(loud);
  ASSERT_EQ(quiet->points.size(), loud->points.size());
  for (size_t i = 0; i < quiet->points.size(); ++i) {
    EXPECT_EQ(quiet->points[i].x, loud->points[i].x);
    EXPECT_EQ(quiet->points[i].z, loud->points[i].z);
  }
  // Each line must be its format printed again from the numbers in it.
  const std::vector<std::pair<const char*, int>> formats = {
      {"[pose] ||A·f||²=%.4e\n", 1},
      {"[pose] sF=(%.4e, %.4e, %.4e)\n", 3},
      {"[pose] F=[%+0.4e %+0.4e %+0.4e; %+0.4e %+0.4e %+0.4e; %+0.4e %+0.4e "
       "%+0.4e]\n",
       9},
      {"[pose] E=[%+0.4e %+0.4e %+0.4e; %+0.4e %+0.4e %+0.4e; %+0.4e %+0.4e "
       "%+0.4e]\n",
       9},
      {"[pose] sE=(%.4f, %.4f, %.4f)  σ1/σ2=%.4f (should be 1)\n", 4},
      {"[pose] U.c2 (t direction) = (%.4f, %.4f, %.4f)\n", 3},
      {"[pose] cand 0 chirality=%.0f\n", 1},
      {"[pose] cand 1 chirality=%.0f\n", 1},
      {"[pose] cand 2 chirality=%.0f\n", 1},
      {"[pose] cand 3 chirality=%.0f\n", 1}};
  std::istringstream lines(text);
  for (const auto& [format, count] : formats) {
    std::string line;
    ASSERT_TRUE(std::getline(lines, line)) << "missing: " << format;
    line += "\n";
    // Scan with the format turned into one sscanf reads.
    std::string scan = format;
    for (const char* from : {"%+0.4e", "%.4e", "%.4f", "%.0f"})
      scan = replaceAll(scan, from, "%lf");
    // Literal text is scanned in ASCII: a C runtime's scanf may read the
    // format's bytes as characters of its locale (mingw-w64's does).
    scan = replaceAll(scan, "σ", "s");
    const std::string scanned = replaceAll(line, "σ", "s");
    double v[9] = {};
    ASSERT_EQ(std::sscanf(scanned.c_str(),
                          scan.c_str(),
                          &v[0],
                          &v[1],
                          &v[2],
                          &v[3],
                          &v[4],
                          &v[5],
                          &v[6],
                          &v[7],
                          &v[8]),
              count)
        << line;
    char printed[400];
    std::snprintf(printed,
                  sizeof printed,
                  format,
                  v[0],
                  v[1],
                  v[2],
                  v[3],
                  v[4],
                  v[5],
                  v[6],
                  v[7],
                  v[8]);
    EXPECT_EQ(line, printed);
  }
  std::string rest;
  EXPECT_FALSE(std::getline(lines, rest)) << rest;
  EXPECT_NE(text.find("sF=("), std::string::npos);
  EXPECT_NE(text.find(", 0.0000e+00)\n"), std::string::npos);
  EXPECT_NE(text.find("cand 3 chirality="), std::string::npos);
}

}  // namespace
}  // namespace pxo
