#include "decode/grid_snap.h"

#include <algorithm>

#include <gtest/gtest.h>

namespace pxo {
namespace {

GridPoint at(int32_t id, double x, double y, bool estimated = false) {
  GridPoint p;
  p.id = id;
  p.x = x;
  p.y = y;
  p.estimated = estimated ? 1 : 0;
  return p;
}

std::vector<int32_t> idsIn(const ModelGrid& grid) {
  std::vector<int32_t> ids;
  for (int32_t id : grid.cells)
    if (id) ids.push_back(id);
  std::sort(ids.begin(), ids.end());
  return ids;
}

TEST(SnapToGrid, StraightLine) {
  std::vector<GridPoint> points;
  for (int32_t i = 0; i < 10; ++i) points.push_back(at(i + 1, i, 0));
  ModelGridPtr grid(snapToGrid(points, -1, -1));
  ASSERT_TRUE(grid);
  // 20 columns of 0.45, cropped to one row; every LED in order.
  EXPECT_EQ(grid->rows, 1);
  EXPECT_EQ(grid->cols, 20);
  std::vector<int32_t> order;
  for (int32_t id : grid->cells)
    if (id) order.push_back(id);
  EXPECT_EQ(order, (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(grid->relocationCount(), 0);
  EXPECT_EQ(grid->layers, 1);
}

TEST(SnapToGrid, RawPixelsWhenNothingIsNormalised) {
  std::vector<GridPoint> pixels, normalised;
  for (int32_t i = 0; i < 12; ++i) {
    pixels.push_back(at(i + 1,
                        100 + (i % 4) * 30.0 + 0.37 * i,
                        50 + (i / 4) * 30.0 + 0.21 * i));
    GridPoint n = pixels.back();
    n.normX = static_cast<float>(n.x / 1000);
    n.normY = static_cast<float>(n.y / 1000);
    normalised.push_back(n);
  }
  ModelGridPtr a(snapToGrid(pixels, -1, -1)), b(snapToGrid(normalised, -1, -1));
  EXPECT_EQ(a->cols, b->cols);
  EXPECT_EQ(a->rows, b->rows);
  EXPECT_EQ(a->cells, b->cells);
}

TEST(SnapToGrid, MeasuredWinsOverEstimated) {
  // The estimated LEDs 2 and 4 sit exactly on measured LEDs 1 and 5: every
  // measured LED is placed before any estimated one, so the estimated ones
  // move, in ID order.
  std::vector<GridPoint> points = {at(1, 0, 0),
                                   at(2, 0, 0, true),
                                   at(3, 10, 0),
                                   at(4, 20, 0, true),
                                   at(5, 20, 0),
                                   at(6, 30, 0),
                                   at(7, 0, 10),
                                   at(8, 30, 10)};
  ModelGridPtr grid(snapToGrid(points, -1, -1));
  EXPECT_EQ(idsIn(*grid), (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  ASSERT_EQ(grid->relocationCount(), 2);
  EXPECT_EQ(grid->relocations[0].occupant, 1);
  EXPECT_EQ(grid->relocations[0].moved, 2);
  EXPECT_EQ(grid->relocations[1].occupant, 5);
  EXPECT_EQ(grid->relocations[1].moved, 4);
  for (const GridRelocation& r : grid->relocations)
    EXPECT_EQ(grid->at(r.column, r.row), r.moved);
}

TEST(SnapToGrid, MeasuredCollisionsGrowTheGrid) {
  // Pairs 0.3 apart in a field spaced 1 apart: cells of 0.45 × spacing can
  // hold them only after growing.
  std::vector<GridPoint> points;
  int32_t id = 1;
  for (int32_t i = 0; i < 8; ++i) {
    points.push_back(at(id++, i, 0));
    points.push_back(at(id++, i, 1));
  }
  points.push_back(at(id++, 3.3, 0.5));
  points.push_back(at(id++, 3.35, 0.5));
  ModelGridPtr grid(snapToGrid(points, -1, -1));
  EXPECT_EQ(idsIn(*grid).size(), points.size());
  EXPECT_GT(grid->cols, 16);
}

TEST(SnapToGrid, RelocationSearchesRingsInOrder) {
  // Three measured LEDs on one spot in a 5 × 3 request stay at their
  // contested cell; automatic sizing moves them to the nearest free cells.
  std::vector<GridPoint> points = {
      at(1, 0, 0), at(2, 4, 2), at(3, 2, 1), at(4, 2, 1), at(5, 2, 1)};
  ModelGridPtr fixed(snapToGrid(points, 5, 3));
  EXPECT_EQ(fixed->cols, 5);
  EXPECT_EQ(fixed->rows, 3);
  ASSERT_EQ(fixed->relocationCount(), 2);
  EXPECT_EQ(fixed->relocations[0].occupant, 3);
  EXPECT_EQ(fixed->relocations[0].column, 2);
  EXPECT_EQ(fixed->relocations[0].row, 1);
  EXPECT_EQ(idsIn(*fixed), (std::vector<int32_t>{1, 2, 3}));

  ModelGridPtr grid(snapToGrid(points, -1, -1));
  EXPECT_EQ(idsIn(*grid), (std::vector<int32_t>{1, 2, 3, 4, 5}));
  ASSERT_EQ(grid->relocationCount(), 2);
  const GridRelocation& first = grid->relocations[0];
  const GridRelocation& second = grid->relocations[1];
  // The ring above the contested cell is searched first, left to right.
  int32_t contestedCol = -1, contestedRow = -1;
  for (int32_t r = 0; r < grid->rows; ++r)
    for (int32_t c = 0; c < grid->cols; ++c)
      if (grid->at(c, r) == 3) {
        contestedCol = c;
        contestedRow = r;
      }
  EXPECT_EQ(first.row, contestedRow - 1);
  EXPECT_EQ(first.column, contestedCol - 1);
  EXPECT_EQ(second.row, contestedRow - 1);
  EXPECT_EQ(second.column, contestedCol);
}

TEST(SnapToGrid, FewPointsAndNone) {
  ModelGridPtr empty(snapToGrid({}, -1, -1));
  EXPECT_EQ(empty->cols, 1);
  EXPECT_EQ(empty->rows, 1);
  EXPECT_EQ(empty->cells, std::vector<int32_t>{0});
  // Three points: cells from a tenth of the larger side (× 0.45).
  std::vector<GridPoint> three = {at(1, 0, 0), at(2, 9, 0), at(3, 9, 4.5)};
  ModelGridPtr grid(snapToGrid(three, -1, -1));
  EXPECT_EQ(grid->cols, 20);  // ceil(9 / 0.405) = 23, capped at 20
  EXPECT_EQ(idsIn(*grid), (std::vector<int32_t>{1, 2, 3}));
  // Estimated points only still make a grid.
  ModelGridPtr estimates(
      snapToGrid({{at(1, 0, 0, true), at(2, 5, 5, true)}}, -1, -1));
  EXPECT_EQ(idsIn(*estimates), (std::vector<int32_t>{1, 2}));
  destroyModelGrid(nullptr);
}

}  // namespace
}  // namespace pxo
