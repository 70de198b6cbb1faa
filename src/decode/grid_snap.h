#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// Snapping decoded LED positions to the cells of a 2D grid (a custom
// model): the grid size follows the typical LED spacing, measured LEDs win
// cells over estimated ones, LEDs that find their cell taken move to the
// nearest free cell, and the grid is cropped to its occupied area.

namespace pxo {

struct GridPoint {
  int32_t id = 0;
  float normX = 0;
  float normY = 0;
  double x = 0;
  double y = 0;
  int32_t estimated = 0;
};

struct GridRelocation {
  int32_t occupant = 0;  // kept the cell
  int32_t moved = 0;     // had to move
  int32_t column = 0;    // where it went, or the contested cell
  int32_t row = 0;
};

struct ModelGrid {
  int32_t cols = 0;
  int32_t rows = 0;
  int32_t layers = 1;
  std::vector<int32_t> cells;  // row-major, row 0 at the top; 0 = empty
  std::vector<GridRelocation> relocations;

  int32_t relocationCount() const {
    return static_cast<int32_t>(relocations.size());
  }
  int32_t at(int32_t column, int32_t row) const {
    return cells[static_cast<size_t>(row) * cols + column];
  }
};

// Snaps `points` to a grid: automatic size for requested -1, -1; exactly
// the requested size (at least 1 × 1, no growth, relocation or crop) when
// both are above 0. Null only when memory runs out.
[[nodiscard]] ModelGrid* snapToGrid(std::span<const GridPoint> points,
                                    int32_t requestedCols,
                                    int32_t requestedRows);
void destroyModelGrid(ModelGrid* grid);

struct ModelGridDeleter {
  void operator()(ModelGrid* grid) const { destroyModelGrid(grid); }
};
using ModelGridPtr = std::unique_ptr<ModelGrid, ModelGridDeleter>;

}  // namespace pxo
