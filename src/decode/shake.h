#pragma once

#include "decode/decode_types.h"
#include "decode/image_ops.h"

#include <cstdint>
#include <span>
#include <vector>

// Camera shake: how far each frame's picture has moved relative to the
// baseline frame, per tile of a coarse grid, modelled as a linear drift in
// time fitted to shifts measured on the frames that light (almost) every
// LED at once.

namespace pxo {

struct Shift {
  double dx = 0;
  double dy = 0;
};

// Per frame f and tile k = row × tilesX + column: the displacement of the
// frame's picture relative to the baseline; a baseline pixel p shows at
// p + (dx, dy) in frame f.
struct TranslationField {
  int32_t tilesX = 1;
  int32_t tilesY = 1;
  int32_t width = 1;  // of the decoded frames
  int32_t height = 1;
  std::vector<Shift> shifts;  // frames × tiles

  int32_t tileCount() const { return tilesX * tilesY; }
  int32_t frameCount() const {
    return tileCount() > 0 ? static_cast<int32_t>(shifts.size()) / tileCount()
                           : 0;
  }
  Shift& at(int32_t frame, int32_t tile) {
    return shifts[static_cast<size_t>(frame) * tileCount() + tile];
  }
  const Shift& at(int32_t frame, int32_t tile) const {
    return shifts[static_cast<size_t>(frame) * tileCount() + tile];
  }
  // The same field with one tile per frame: the mean over its tiles.
  TranslationField meanField() const;
  // A field of zeros for `frames` frames.
  static TranslationField zero(int32_t frames, int32_t width, int32_t height);
};

// The shift of frame `frame` at (x, y): bilinear between tile centres,
// constant beyond the outer ones.
Shift shiftAt(const TranslationField& field, int32_t frame, double x, double y);

// shiftAt along one row of one frame, with the per-row work done once.
// Gives exactly shiftAt's values.
class RowShifter {
 public:
  RowShifter(const TranslationField& field, int32_t frame, double y);
  Shift at(double x) const;

 private:
  const TranslationField& field_;
  const Shift* row0_;
  const Shift* row1_;
  double fv_;
  bool single_;
};

// Rounds halves away from zero, as lround does, without a library call.
inline int32_t roundHalfAway(double v) {
  auto i = static_cast<int32_t>(v);  // truncates toward zero
  double fraction = v - i;
  if (fraction >= 0.5) return i + 1;
  if (fraction <= -0.5) return i - 1;
  return i;
}

struct ShakeResult {
  TranslationField field;
  std::vector<uint8_t> outlier;  // per frame
};

// Measures and fits the field. Fills the shake statistics of `stats` when
// given.
ShakeResult estimateTranslationField(std::span<const FramePlanes> frames,
                                     std::span<const double> times,
                                     const FrameTables& tables,
                                     const DecodeOptions& options,
                                     DecodeStats* stats,
                                     SimdMode mode = SimdMode::kAuto);

// A reduced image: the maximum of the three planes over each block.
struct ReducedImage {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> pixels;
};
ReducedImage reduceFrame(const FramePlanes& frame,
                         int32_t width,
                         int32_t height,
                         int32_t downsample,
                         SimdMode mode = SimdMode::kAuto);

// The offset (in reduced pixels) of `moving` against `reference` for every
// tile, by exhaustive search of radius r around the whole-image offset (or
// around a prior centre per tile). Returns tilesX × tilesY offsets.
struct TileCentre {
  bool given = false;
  int32_t ox = 0;
  int32_t oy = 0;
};
std::vector<std::pair<int32_t, int32_t>> measureOffsets(
    const ReducedImage& reference,
    const ReducedImage& moving,
    int32_t radius,
    int32_t tilesX,
    int32_t tilesY,
    std::span<const TileCentre> priorCentres,
    SimdMode mode);

}  // namespace pxo
