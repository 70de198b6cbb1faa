#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// The xLights model file (.xmodel): a custom model (the LEDs on a 2D or
// layered grid) or a multipoint model (one free point per LED, from the
// image positions or a 3D solve). Text built by concatenation with fixed
// attribute order, indentation and number formats; numbers always use "."
// whatever the process locale. Pure functions apart from writeModelFile.

namespace pxo {

enum class ModelOutputKind : int32_t {
  kCustomGrid = 0,
  kMultiPoint2D = 1,
  kMultiPoint3D = 2,
};

struct ModelPoint2D {
  int32_t id = 0;
  float x = 0;  // normalised image coordinates, y growing downwards
  float y = 0;
};

struct ModelPoint3D {
  int32_t id = 0;
  float x = 0;
  float y = 0;
  float z = 0;
  int32_t flag = 0;  // not written
};

// What the scan session hands over for a model file.
struct ModelOutputInputs {
  std::string modelName;  // empty: no scan result
  int32_t gridWidth = 0;
  int32_t gridHeight = 0;
  int32_t gridDepth = 0;
  std::vector<int32_t> cells;  // layer by layer, row by row; <= 0 empty
  std::vector<ModelPoint2D> points2d;
  std::vector<ModelPoint3D> points3d;

  bool hasGrid() const {
    return gridWidth > 0 && gridHeight > 0 && gridDepth > 0 && !cells.empty();
  }
};

inline constexpr char kModelSourceVersion[] = "Glowtrace/1";
inline constexpr char kModelStringType[] = "RGB Nodes";

// Builds and writes "<name>.xmodel" in the temporary directory (or in
// `directory` when given) and returns its path; an empty path and one of
// "no scan to write", "no 3D solve to write", "no grid to write",
// "xmodel write failed" on failure. A multipoint model gets one point per
// ID from 1 to the highest, a missing ID placed on its nearest present ID
// (the lower on a tie), since point k drives node k.
std::string writeModelFile(const ModelOutputInputs& inputs,
                           ModelOutputKind kind,
                           std::string* error,
                           const std::string& directory = "");

std::string buildCustomModelXml(const std::string& name,
                                int32_t width,
                                int32_t height,
                                int32_t depth,
                                std::span<const int32_t> cells);

// Uses the 3D points when there are any, else the 2D points; points are
// sorted by ID.
std::string buildMultiPointModelXml(const std::string& name,
                                    std::span<const ModelPoint2D> points2d,
                                    std::span<const ModelPoint3D> points3d);

// "1,,2;,3," for a 3 × 2 grid of 1, 0, 2, 0, 3, 0: cells by ",", rows by
// ";", layers by "|".
std::string buildCustomModelGrid(int32_t width,
                                 int32_t height,
                                 int32_t depth,
                                 std::span<const int32_t> cells);

// The file name stem for a model name: path separators, "..", control
// characters and characters common file systems refuse become "_";
// "MappedModel" when nothing is left.
std::string modelFileStem(std::string_view name);

// One point per ID 1 ... highest ID; a missing ID takes its nearest
// present ID's position (the lower on a tie).
template <typename Point>
std::vector<Point> fillMissingIds(std::span<const Point> points);

// printf's "%f" in the "C" locale.
std::string formatFixed6(double value);

}  // namespace pxo
