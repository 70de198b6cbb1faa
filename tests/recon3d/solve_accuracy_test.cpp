// Accuracy of the 3D solve on a solid prop: a 300-LED tree spiral filmed
// with 0.5 px of position noise, as a decoder delivers it.

#include "recon3d/reconstruct.h"

#include "sim/rig.h"
#include "sim/solve_scorer.h"

#include <algorithm>
#include <cstdio>

#include <gtest/gtest.h>

namespace pxo {
namespace {

constexpr int kWidth = 1024, kHeight = 576;
constexpr double kTrueFov = 60;
constexpr double kNoisePx = 0.5;

struct Trial {
  sim::SolveScore score;
  FovChoice fov;
  Solve3DResultPtr result;
};

// The views of cameras 4 m from the tree at `yaws`, their noise seeded
// from `seed` on; a body of `trunk` radius hides what is behind it.
std::vector<ScanView> viewsAround(
    const std::vector<std::array<double, 3>>& leds,
    std::initializer_list<double> yaws,
    uint64_t seed,
    double trueFov = kTrueFov,
    double trunk = 0) {
  std::vector<ScanView> views;
  for (double yaw : yaws)
    views.push_back(sim::syntheticView(leds,
                                       sim::poseAround(yaw, 4),
                                       trueFov,
                                       kWidth,
                                       kHeight,
                                       kNoisePx,
                                       seed++,
                                       trunk));
  return views;
}

constexpr double kTrunk = 0.25;

Trial solveTree(std::initializer_list<double> yaws,
                double fov,
                uint64_t seed,
                double trueFov = kTrueFov) {
  const auto leds = sim::treeSpiral(300, 2, 0.6, 6);
  const std::vector<ScanView> views = viewsAround(leds, yaws, seed, trueFov);
  Trial trial;
  trial.result = solveViews(views, fov, &trial.fov);
  if (trial.result) trial.score = sim::scoreSolve(leds, *trial.result);
  return trial;
}

void report(const char* what, const Trial& trial) {
  std::printf("%-28s FOV %5.1f  %s\n",
              what,
              trial.fov.fovDeg,
              trial.score.summary().c_str());
}

TEST(SolveAccuracy, TreeFromTwoViewsWithTheFieldOfViewGiven) {
  for (uint64_t seed : {1, 2, 3}) {
    Trial trial = solveTree({-20, 20}, kTrueFov, seed * 10);
    ASSERT_TRUE(trial.result);
    report("two views, FOV given", trial);
    EXPECT_LE(trial.score.rmsFraction, 0.01);
    EXPECT_GE(trial.score.solved, 295);
  }
}

// Two views level with each other, at one distance, both aimed at the
// prop: every angle explains their pictures, and the angle comes from the
// string's even spacing.
TEST(SolveAccuracy, TwoViewsFortyDegreesApartFindTheAngle) {
  for (double trueFov : {50.0, 60.0, 75.0, 90.0}) {
    Trial trial = solveTree({-20, 20}, 0, 10, trueFov);
    ASSERT_TRUE(trial.result) << trueFov;
    char what[64];
    std::snprintf(what, sizeof what, "true %.0f, two views", trueFov);
    report(what, trial);
    EXPECT_EQ(trial.fov.source, FovSource::kLedSpacing);
    EXPECT_NEAR(trial.fov.fovDeg, trueFov, 4);
    EXPECT_LE(trial.score.rmsFraction, 0.015);
  }
}

// A second camera higher than the first (and so seeing only part of the
// tree): the angle is found either way.
TEST(SolveAccuracy, TwoViewsFromTwoHeightsFindTheAngle) {
  const auto leds = sim::treeSpiral(300, 2, 0.6, 6);
  for (double trueFov : {50.0, 75.0, 90.0}) {
    const sim::CameraPose high = sim::poseAround(20, 4, 0.8);
    std::vector<ScanView> views = {
        sim::syntheticView(leds,
                           sim::poseAround(-20, 4),
                           trueFov,
                           kWidth,
                           kHeight,
                           kNoisePx,
                           1),
        sim::syntheticView(leds, high, trueFov, kWidth, kHeight, kNoisePx, 2)};
    Trial trial;
    trial.result = solveViews(views, 0, &trial.fov);
    ASSERT_TRUE(trial.result) << trueFov;
    trial.score = sim::scoreSolve(leds, *trial.result);
    report("two heights", trial);
    EXPECT_NEAR(trial.fov.fovDeg, trueFov, 4);
    EXPECT_LE(trial.score.rmsFraction, 0.02);
  }
}

TEST(SolveAccuracy, ThreeViewsBeatTwo) {
  for (uint64_t seed : {1, 2, 3}) {
    Trial two = solveTree({-20, 20}, kTrueFov, seed * 10);
    Trial three = solveTree({-20, 20, 60}, kTrueFov, seed * 10);
    ASSERT_TRUE(two.result);
    ASSERT_TRUE(three.result);
    report("three views, FOV given", three);
    EXPECT_LT(three.score.rmsFraction, two.score.rmsFraction);
  }
}

TEST(SolveAccuracy, ThreeViewsWithTheFieldOfViewSearched) {
  // Wrong angles leave the third camera misplaced and most rays missing;
  // those partial solves must not win the search.
  for (double trueFov : {50.0, 60.0, 75.0, 90.0}) {
    Trial trial = solveTree({-20, 20, 60}, 0, 10, trueFov);
    ASSERT_TRUE(trial.result);
    char what[64];
    std::snprintf(what, sizeof what, "true %.0f, three views", trueFov);
    report(what, trial);
    EXPECT_NEAR(trial.fov.fovDeg, trueFov, 4);
    EXPECT_LE(trial.score.rmsFraction, 0.01);
    EXPECT_EQ(trial.score.solved, 300);
  }
}

// A real tree hides the LEDs behind its body from each camera. Three
// cameras 60° apart: every LED two of them saw is triangulated, the rest
// (the back of the tree, which no camera or only one saw) interpolated
// along the string.
TEST(SolveAccuracy, TreeHidingItsBackFromThreeCameras) {
  const auto leds = sim::treeSpiral(300, 2, 0.6, 6);
  for (double fov : {kTrueFov, 0.0}) {
    const std::vector<ScanView> views =
        viewsAround(leds, {-60, 0, 60}, 5, kTrueFov, kTrunk);
    Trial trial;
    trial.result = solveViews(views, fov, &trial.fov);
    ASSERT_TRUE(trial.result) << fov;
    trial.score = sim::scoreSolve(leds, *trial.result, views);
    report(fov > 0 ? "hidden back, FOV given" : "hidden back, FOV searched",
           trial);
    EXPECT_LT(trial.score.seenTwice, 300);
    EXPECT_EQ(trial.score.seenTwiceSolved, trial.score.seenTwice);
    EXPECT_LE(trial.score.solvedRmsFraction, 0.015);
    EXPECT_EQ(trial.score.solved + trial.score.interpolated,
              trial.result->pointCount);
    EXPECT_NEAR(trial.fov.fovDeg, kTrueFov, 4);
  }
}

// A decoder's wrong IDs: in one view (each of the three over the seeds),
// four pairs of LEDs are reported at each other's places. Every LED two
// views saw where it really is must still be triangulated, the wrong
// sightings must not bend the cloud, and the angle is still found.
TEST(SolveAccuracy, WrongIdsInOneViewCostOnlyThemselves) {
  const auto leds = sim::treeSpiral(300, 2, 0.6, 6);
  for (uint64_t seed : {5, 15, 25, 35}) {
    std::vector<ScanView> views =
        viewsAround(leds, {-60, 0, 60}, seed, kTrueFov, kTrunk);
    // Swap the positions of four pairs of LEDs far apart along the string
    // in one view.
    std::vector<ViewPoint>& points = views[seed % 3].points;
    const size_t n = points.size();
    for (size_t k = 0; k < 4; ++k) {
      const size_t a = (seed * 7 + k * 37) % n, b = (a + n / 2) % n;
      std::swap(points[a].x, points[b].x);
      std::swap(points[a].y, points[b].y);
    }
    Trial trial;
    trial.result = solveViews(views, 0, &trial.fov);
    ASSERT_TRUE(trial.result);
    trial.score = sim::scoreSolve(leds, *trial.result, views);
    report("eight wrong IDs", trial);
    // Only the eight LEDs swapped may be lost (each needs two views that
    // agree), and none may be placed at a wrong sighting.
    EXPECT_GE(trial.score.seenTwiceSolved, trial.score.seenTwice - 8) << seed;
    EXPECT_LE(trial.score.solvedRmsFraction, 0.015) << seed;
    EXPECT_NEAR(trial.fov.fovDeg, kTrueFov, 4) << seed;
  }
}

// Views only ever add. A third camera nearer, above the tree, sees half
// of it: every LED the first two placed stays placed, and the new view is
// used and reported with its own fit.
TEST(SolveAccuracy, AThirdViewOfPartOfThePropKeepsEveryLedPlaced) {
  const auto leds = sim::treeSpiral(300, 2, 0.6, 6);
  std::vector<ScanView> views = {
      sim::syntheticView(leds,
                         sim::poseAround(-20, 4),
                         kTrueFov,
                         kWidth,
                         kHeight,
                         kNoisePx,
                         1),
      sim::syntheticView(
          leds, sim::poseAround(20, 4), kTrueFov, kWidth, kHeight, kNoisePx, 2),
      sim::syntheticView(leds,
                         sim::poseAround(50, 2.0, 0.7),
                         kTrueFov,
                         kWidth,
                         kHeight,
                         kNoisePx,
                         3)};
  Solve3DResultPtr two =
      solveViews(std::span(views).first(2), kTrueFov, nullptr);
  Solve3DResultPtr three = solveViews(views, kTrueFov, nullptr);
  ASSERT_TRUE(two);
  ASSERT_TRUE(three);
  ASSERT_GT(views[2].points.size(), 20u);
  ASSERT_LT(views[2].points.size(), 250u);
  std::vector<int32_t> placed;
  for (const Point3D& p : three->points)
    if (!p.interpolated) placed.push_back(p.id);
  for (const Point3D& p : two->points) {
    if (p.interpolated) continue;
    EXPECT_TRUE(std::binary_search(placed.begin(), placed.end(), p.id))
        << "LED " << p.id << " lost to the third view";
  }
  EXPECT_EQ(ledsTakenAway(*two, *three), "");
  ASSERT_EQ(three->fit.views.size(), 3u);
  EXPECT_TRUE(three->fit.leftOut.empty())
      << solveSummary(*three, 3, kTrueFov) << " " << views[2].points.size();
  for (const SolveFit::View& view : three->fit.views) {
    EXPECT_TRUE(view.used);
    EXPECT_LT(view.medianReprojectionPx, 2);
  }
  ASSERT_GE(three->fit.placedFromViews.size(), 4u);
  EXPECT_GT(three->fit.placedFromViews[3], 20);
  EXPECT_EQ(three->fit.placedFromViews[2] + three->fit.placedFromViews[3],
            three->triangulatedCount - three->outliersRemoved);
}

// A view that spoils the solve is left out, with its reason, and the rest
// solve as they would alone: one whose camera was bumped halfway through
// its scan (its later LEDs 40 px off), and one of another prop (its IDs
// shuffled).
TEST(SolveAccuracy, AViewThatSpoilsTheSolveIsLeftOut) {
  const auto leds = sim::treeSpiral(300, 2, 0.6, 6);
  const std::vector<ScanView> good =
      viewsAround(leds, {-60, 0, 60}, 7, kTrueFov, kTrunk);
  Solve3DResultPtr alone = solveViews(good, kTrueFov, nullptr);
  ASSERT_TRUE(alone);
  const sim::SolveScore aloneScore = sim::scoreSolve(leds, *alone, good);

  ScanView bumped = sim::syntheticView(leds,
                                       sim::poseAround(30, 4),
                                       kTrueFov,
                                       kWidth,
                                       kHeight,
                                       kNoisePx,
                                       20,
                                       kTrunk);
  for (ViewPoint& p : bumped.points)
    if (p.id > 100) p.x += 40;
  ScanView other = sim::syntheticView(leds,
                                      sim::poseAround(-30, 4),
                                      kTrueFov,
                                      kWidth,
                                      kHeight,
                                      kNoisePx,
                                      21,
                                      kTrunk);
  for (size_t i = 0; i + 1 < other.points.size(); i += 2)
    std::swap(other.points[i].id, other.points[i + 1].id);
  for (size_t i = 0; i < other.points.size(); ++i)
    other.points[i].id = other.points[(i * 7) % other.points.size()].id;

  for (const ScanView& spoiler : {bumped, other}) {
    std::vector<ScanView> views = good;
    views.push_back(spoiler);
    Solve3DResultPtr result = solveViews(views, kTrueFov, nullptr);
    ASSERT_TRUE(result);
    ASSERT_EQ(result->fit.leftOut.size(), 1u);
    EXPECT_EQ(result->fit.leftOut[0].view, 3);
    EXPECT_FALSE(result->fit.leftOut[0].why.empty());
    ASSERT_EQ(result->fit.views.size(), 4u);
    EXPECT_FALSE(result->fit.views[3].used);
    EXPECT_NE(solveSummary(*result, 4, kTrueFov).find("; view 4 left out: "),
              std::string::npos);
    const sim::SolveScore score = sim::scoreSolve(leds, *result, good);
    report("a view left out", {score, {}, nullptr});
    EXPECT_EQ(score.solved, aloneScore.solved);
    EXPECT_NEAR(score.solvedRmsFraction, aloneScore.solvedRmsFraction, 1e-3);
  }
}

}  // namespace
}  // namespace pxo
