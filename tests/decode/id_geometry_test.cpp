#include "decode/id_geometry.h"

#include <cmath>
#include <numbers>

#include <gtest/gtest.h>

namespace pxo {
namespace {

std::vector<IdPoint> row(int32_t n, int32_t spacing) {
  std::vector<IdPoint> points;
  for (int32_t i = 1; i <= n; ++i) points.push_back({i, (i - 1) * spacing, 0});
  return points;
}

TEST(FindIdNeighbours, WithinSixIds) {
  std::vector<uint8_t> present(21, 0);
  present[3] = present[10] = present[17] = 1;
  EXPECT_EQ(findIdNeighbours(present, 20, 9).below, 3);
  EXPECT_EQ(findIdNeighbours(present, 20, 9).above, 10);
  EXPECT_EQ(findIdNeighbours(present, 20, 10).below, 0);  // 3 is seven away
  EXPECT_EQ(findIdNeighbours(present, 20, 10).above, 0);  // 17 is seven away
  EXPECT_EQ(findIdNeighbours(present, 20, 11).above, 17);
}

TEST(RejectIdOutliers, DropsAPositionOffItsNeighboursLine) {
  std::vector<IdPoint> points = row(10, 10);
  points[4].y = 60;  // ID 5, 60 px sideways
  std::vector<int32_t> kept = rejectIdOutliers(points, 10, 100);
  EXPECT_EQ(kept, (std::vector<int32_t>{1, 2, 3, 4, 6, 7, 8, 9, 10}));
}

TEST(RejectIdOutliers, KeepsWhatItCannotJudge) {
  std::vector<IdPoint> three = {{1, 0, 0}, {2, 500, 0}, {3, 0, 900}};
  EXPECT_EQ(rejectIdOutliers(three, 10, 10).size(), 3u);
  // Spacing below one pixel: everything stays.
  std::vector<IdPoint> stacked = {{1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 90, 90}};
  EXPECT_EQ(rejectIdOutliers(stacked, 10, 10).size(), 4u);
  // No neighbour within six IDs: kept unchecked.
  std::vector<IdPoint> lonely = row(6, 10);
  lonely.push_back({13, 5000, 5000});
  EXPECT_EQ(rejectIdOutliers(lonely, 20, 100).back(), 13);
  // Out-of-range and repeated IDs are ignored; the first occurrence counts.
  std::vector<IdPoint> messy = row(6, 10);
  messy.push_back({0, 1, 1});
  messy.push_back({99, 1, 1});
  messy.push_back({3, 4000, 4000});
  EXPECT_EQ(rejectIdOutliers(messy, 10, 100),
            (std::vector<int32_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(rejectIdOutliers(messy, 10, 2).size(), 2u);
}

TEST(EstimateMissingIds, ExtrapolatesFromTwoMeasuredIds) {
  std::vector<IdPointF> measured = {{4, 40, 10}, {5, 50, 10}};
  auto estimates = estimateMissingIds(measured, 10, 80, 60, 100);
  ASSERT_EQ(estimates.size(), 8u);
  EXPECT_EQ(estimates[0].id, 1);
  EXPECT_DOUBLE_EQ(estimates[0].x, 10);
  EXPECT_DOUBLE_EQ(estimates[2].x, 30);
  EXPECT_EQ(estimates[3].id, 6);
  EXPECT_DOUBLE_EQ(estimates[3].x, 60);
  EXPECT_DOUBLE_EQ(estimates[5].x, 79);  // ID 8 at 80, clamped into the image
  EXPECT_FLOAT_EQ(estimates[5].normX, 79.0f / 80);
  EXPECT_FLOAT_EQ(estimates[0].normY, 10.0f / 80);
}

TEST(EstimateMissingIds, SingleNeighboursAreCopied) {
  std::vector<IdPointF> measured = {{5, 20, 20}};
  auto estimates = estimateMissingIds(measured, 7, 100, 100, 100);
  ASSERT_EQ(estimates.size(), 6u);
  for (const EstimatedPoint& e : estimates) {
    EXPECT_DOUBLE_EQ(e.x, 20);
    EXPECT_DOUBLE_EQ(e.y, 20);
  }
  EXPECT_TRUE(estimateMissingIds({}, 7, 100, 100, 100).empty());
}

TEST(EstimateMissingIds, CurvesThroughCloseNeighboursAndBridgesWideGaps) {
  // Points on a circle of radius 100 around (200, 200), 10° apart; ID 5
  // missing: the spline follows the arc, a straight line would cut it.
  std::vector<IdPointF> arc;
  auto onCircle = [](int32_t id) {
    double a = (id - 1) * 10.0 * std::numbers::pi / 180;
    return IdPointF{id, 200 + 100 * std::cos(a), 200 + 100 * std::sin(a)};
  };
  for (int32_t id : {1, 2, 3, 4, 6, 7, 8, 9}) arc.push_back(onCircle(id));
  auto estimates = estimateMissingIds(arc, 9, 400, 400, 10);
  ASSERT_EQ(estimates.size(), 1u);
  IdPointF truth = onCircle(5);
  EXPECT_NEAR(estimates[0].x, truth.x, 0.2);
  EXPECT_NEAR(estimates[0].y, truth.y, 0.2);
  double chordMidX = (onCircle(4).x + onCircle(6).x) / 2;
  EXPECT_GT(std::fabs(chordMidX - truth.x) + 0.0, 0.5);

  // A gap wider than 3 × the spacing is bridged by a straight line.
  std::vector<IdPointF> wide = {{1, 0, 0},
                                {2, 10, 0},
                                {3, 20, 0},
                                {4, 30, 0},
                                {8, 130, 40},
                                {9, 140, 40},
                                {10, 150, 40}};
  auto bridged = estimateMissingIds(wide, 10, 400, 400, 10);
  ASSERT_EQ(bridged.size(), 3u);
  EXPECT_DOUBLE_EQ(bridged[1].x, 80);  // ID 6: halfway from 4 to 8
  EXPECT_DOUBLE_EQ(bridged[1].y, 20);
}

TEST(EstimateMissingIds, CoincidentNeighboursStayFinite) {
  std::vector<IdPointF> same = {
      {1, 5, 5}, {2, 5, 5}, {4, 5, 5}, {5, 5, 5}, {6, 9, 9}};
  auto estimates = estimateMissingIds(same, 6, 20, 20, 10);
  ASSERT_EQ(estimates.size(), 1u);
  EXPECT_TRUE(std::isfinite(estimates[0].x));
  EXPECT_TRUE(std::isfinite(estimates[0].y));
}

}  // namespace
}  // namespace pxo
