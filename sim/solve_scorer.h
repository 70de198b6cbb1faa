#pragma once

#include "recon3d/reconstruct.h"

#include "sim/virtual_camera.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Multi-view ground truth: views of a prop generated straight from the
// camera model (no rendering), and the score of a 3D solve against where
// the LEDs really are.

namespace pxo::sim {

// What a decoder would report for `leds` (ID = index + 1) seen from
// `pose`: every LED in the picture and not behind a prop body of
// `trunkRadius` (hiddenByTrunk), its position blurred by Gaussian noise of
// `noisePx` σ.
ScanView syntheticView(const std::vector<std::array<double, 3>>& leds,
                       const CameraPose& pose,
                       double fovDeg,
                       int32_t width,
                       int32_t height,
                       double noisePx,
                       uint64_t seed,
                       double trunkRadius = 0);

// A pose `distance` from the origin, turned `yawDeg` about the vertical
// axis and looking at the origin.
CameraPose poseAround(double yawDeg, double distance, double height = 0);

struct SolveScore {
  int32_t leds = 0;
  int32_t solved = 0;  // triangulated and kept
  int32_t interpolated = 0;
  int32_t removed = 0;
  double rms = 0;          // after the best similarity alignment, prop units
  double extent = 0;       // the prop's largest extent along x, y or z
  double rmsFraction = 0;  // rms / extent
  // The same with the alignment and the RMS over the triangulated LEDs.
  double solvedRmsFraction = 0;
  int32_t seenTwice = 0;  // LEDs two or more views saw (when views given)
  int32_t seenTwiceSolved = 0;
  std::string summary() const;
};

// Aligns the solved points to the truth by the best rotation, translation
// and scale (Umeyama) and measures what is left. The rig's world has y up
// and z away from the camera while pictures count rows downwards, so a
// faithful solve is the world with y turned over; the alignment allows no
// mirroring and so catches a solve that comes out mirrored.
SolveScore scoreSolve(const std::vector<std::array<double, 3>>& leds,
                      const Solve3DResult& result);
// The same, counting the LEDs two or more of `views` saw and how many of
// them were triangulated.
SolveScore scoreSolve(const std::vector<std::array<double, 3>>& leds,
                      const Solve3DResult& result,
                      std::span<const ScanView> views);

}  // namespace pxo::sim
