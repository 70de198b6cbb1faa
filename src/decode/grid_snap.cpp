#include "decode/grid_snap.h"

#include "decode/id_geometry.h"
#include "decode/nearest.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

namespace pxo {

namespace {

struct Point {
  int32_t id;
  double u, v;
  bool estimated;
};

// The upper median of each point's distance to its nearest other point;
// -1 for fewer than 4 points.
double spacingOf(const std::vector<const Point*>& points) {
  if (points.size() < 4) return -1;
  std::vector<std::array<double, 2>> at;
  at.reserve(points.size());
  for (const Point* p : points) at.push_back({p->u, p->v});
  return upperMedian(nearestNeighbourDistances(at), -1);
}

struct Placement {
  int32_t cols = 0, rows = 0;
  std::vector<int32_t> cells;
  std::vector<uint8_t> estimatedCell;
  std::vector<GridRelocation> records;
  int32_t collisions = 0;
};

Placement place(const std::vector<Point>& ordered,
                int32_t cols,
                int32_t rows,
                double uMin,
                double vMin,
                double ru,
                double rv) {
  Placement p;
  p.cols = cols;
  p.rows = rows;
  p.cells.assign(static_cast<size_t>(cols) * rows, 0);
  p.estimatedCell.assign(p.cells.size(), 0);
  const double w = std::max(ru / cols, 1e-12), h = std::max(rv / rows, 1e-12);
  for (const Point& point : ordered) {
    double cu = std::trunc((point.u - uMin) / w),
           cv = std::trunc((point.v - vMin) / h);
    auto column = static_cast<int32_t>(std::clamp(cu, 0.0, double(cols - 1)));
    auto row = static_cast<int32_t>(std::clamp(cv, 0.0, double(rows - 1)));
    size_t cell = static_cast<size_t>(row) * cols + column;
    if (p.cells[cell] == 0) {
      p.cells[cell] = point.id;
      p.estimatedCell[cell] = point.estimated;
      continue;
    }
    bool occupantMeasured = !p.estimatedCell[cell];
    if (occupantMeasured || point.estimated) {
      p.records.push_back({p.cells[cell], point.id, column, row});
      if (occupantMeasured && !point.estimated) ++p.collisions;
    } else {
      p.records.push_back({point.id, p.cells[cell], column, row});
      p.cells[cell] = point.id;
      p.estimatedCell[cell] = 0;
    }
  }
  return p;
}

void relocate(Placement* p) {
  auto empty = [&](int32_t c, int32_t r) {
    return c >= 0 && c < p->cols && r >= 0 && r < p->rows &&
           p->cells[static_cast<size_t>(r) * p->cols + c] == 0;
  };
  for (GridRelocation& record : p->records) {
    const int32_t col = record.column, row = record.row;
    int32_t foundC = -1, foundR = -1;
    if (empty(col, row)) {
      foundC = col;
      foundR = row;
    }
    for (int32_t d = 1; foundC < 0 && d <= std::max(p->cols, p->rows); ++d) {
      for (int32_t r : {row - d, row + d}) {
        if (r < 0 || r >= p->rows) continue;
        for (int32_t c = std::max(col - d, 0);
             c <= std::min(col + d, p->cols - 1);
             ++c)
          if (empty(c, r)) {
            foundC = c;
            foundR = r;
            break;
          }
        if (foundC >= 0) break;
      }
      if (foundC >= 0) break;
      for (int32_t c : {col - d, col + d}) {
        if (c < 0 || c >= p->cols) continue;
        for (int32_t r = std::max(row - d + 1, 0);
             r <= std::min(row + d - 1, p->rows - 1);
             ++r)
          if (empty(c, r)) {
            foundC = c;
            foundR = r;
            break;
          }
        if (foundC >= 0) break;
      }
    }
    if (foundC < 0) continue;  // stays listed at the contested cell
    p->cells[static_cast<size_t>(foundR) * p->cols + foundC] = record.moved;
    record.column = foundC;
    record.row = foundR;
  }
}

ModelGrid* finish(Placement p, bool crop) {
  auto* grid = new (std::nothrow) ModelGrid;
  if (!grid) return nullptr;
  int32_t c0 = p.cols, c1 = -1, r0 = p.rows, r1 = -1;
  if (crop)
    for (int32_t r = 0; r < p.rows; ++r)
      for (int32_t c = 0; c < p.cols; ++c)
        if (p.cells[static_cast<size_t>(r) * p.cols + c]) {
          c0 = std::min(c0, c);
          c1 = std::max(c1, c);
          r0 = std::min(r0, r);
          r1 = std::max(r1, r);
        }
  if (!crop || c1 < 0) {
    c0 = 0;
    r0 = 0;
    c1 = p.cols - 1;
    r1 = p.rows - 1;
  }
  grid->cols = c1 - c0 + 1;
  grid->rows = r1 - r0 + 1;
  grid->layers = 1;
  grid->cells.resize(static_cast<size_t>(grid->cols) * grid->rows);
  for (int32_t r = r0; r <= r1; ++r)
    for (int32_t c = c0; c <= c1; ++c)
      grid->cells[static_cast<size_t>(r - r0) * grid->cols + (c - c0)] =
          p.cells[static_cast<size_t>(r) * p.cols + c];
  grid->relocations = std::move(p.records);
  for (GridRelocation& record : grid->relocations) {
    record.column -= c0;
    record.row -= r0;
  }
  return grid;
}

}  // namespace

namespace {

// The points in the plane they are snapped in: normalised positions where
// any point has one, else pixels.
std::vector<Point> planePoints(std::span<const GridPoint> input) {
  bool normalised =
      std::any_of(input.begin(), input.end(), [](const GridPoint& g) {
        return !(g.normX == 0.0f) || !(g.normY == 0.0f);
      });
  std::vector<Point> points;
  points.reserve(input.size());
  for (const GridPoint& g : input)
    points.push_back({g.id,
                      normalised ? double(g.normX) : g.x,
                      normalised ? double(g.normY) : g.y,
                      g.estimated != 0});
  return points;
}

// Where the points lie: the least u and v and their (never zero) ranges.
struct Extent {
  double uMin = 0, vMin = 0;
  double ru = 1e-9, rv = 1e-9;
};

Extent extentOf(const std::vector<Point>& points) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  double uMin = kInf, uMax = -kInf, vMin = kInf, vMax = -kInf;
  for (const Point& p : points) {
    uMin = std::min(uMin, p.u);
    uMax = std::max(uMax, p.u);
    vMin = std::min(vMin, p.v);
    vMax = std::max(vMax, p.v);
  }
  if (points.empty()) uMin = uMax = vMin = vMax = 0;
  return {uMin, vMin, std::max(uMax - uMin, 1e-9), std::max(vMax - vMin, 1e-9)};
}

// The grid's side lengths from the LEDs' spacing (a cell a little under
// half of it), bounded by what suits their count; then grown a quarter at
// a time while LEDs collide, until no more are parted twice running.
Placement placeAtSpacing(const std::vector<Point>& points,
                         const std::vector<Point>& ordered,
                         const Extent& e) {
  std::vector<const Point*> measured, all;
  for (const Point& p : points) {
    all.push_back(&p);
    if (!p.estimated) measured.push_back(&p);
  }
  double s = spacingOf(measured);
  if (s < 0) s = spacingOf(all);
  if (s < 0) s = std::max(e.ru, e.rv) / 10;
  const double cell = std::max(s * 0.45, 1e-9);
  const size_t n = points.size();
  const int32_t cap = n <= 20     ? 20
                      : n <= 50   ? 40
                      : n <= 100  ? 60
                      : n <= 250  ? 120
                      : n <= 500  ? 240
                      : n <= 1000 ? 400
                                  : 600;
  auto sizeFor = [&](double range) {
    double wanted = std::ceil(range / cell);
    return std::max(static_cast<int32_t>(std::min(wanted, double(cap))), 8);
  };
  int32_t cols = sizeFor(e.ru), rows = sizeFor(e.rv);
  Placement p = place(ordered, cols, rows, e.uMin, e.vMin, e.ru, e.rv);
  int32_t stalls = 0;
  for (int32_t attempt = 0; attempt < 30 && p.collisions > 0; ++attempt) {
    auto grow = [&](int32_t v) {
      return std::min(
          std::max(v + 1, static_cast<int32_t>(std::ceil(v * 1.25))), cap);
    };
    int32_t nc = grow(cols), nr = grow(rows);
    if (nc == cols && nr == rows) break;
    cols = nc;
    rows = nr;
    int32_t before = p.collisions;
    p = place(ordered, cols, rows, e.uMin, e.vMin, e.ru, e.rv);
    if (p.collisions >= before) {
      if (++stalls >= 2) break;
    } else {
      stalls = 0;
    }
  }
  return p;
}

}  // namespace

ModelGrid* snapToGrid(std::span<const GridPoint> input,
                      int32_t requestedCols,
                      int32_t requestedRows) {
  try {
    const std::vector<Point> points = planePoints(input);
    const bool fixed = requestedCols > 0 && requestedRows > 0;
    if (points.empty() && !fixed) {
      Placement empty;
      empty.cols = empty.rows = 1;
      empty.cells = {0};
      return finish(std::move(empty), false);
    }
    const Extent extent = extentOf(points);

    // Measured before estimated, each by ascending ID.
    std::vector<Point> ordered = points;
    std::stable_sort(
        ordered.begin(), ordered.end(), [](const Point& a, const Point& b) {
          if (a.estimated != b.estimated) return !a.estimated;
          return a.id < b.id;
        });

    if (fixed) {
      Placement p = place(ordered,
                          std::max(requestedCols, 1),
                          std::max(requestedRows, 1),
                          extent.uMin,
                          extent.vMin,
                          extent.ru,
                          extent.rv);
      return finish(std::move(p), false);
    }
    Placement p = placeAtSpacing(points, ordered, extent);
    relocate(&p);
    return finish(std::move(p), true);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void destroyModelGrid(ModelGrid* grid) { delete grid; }

}  // namespace pxo
