#pragma once

#include "decode/decode_types.h"
#include "scan/scan_plan.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Synthetic camera pictures of a scan: every pattern frame of a scan plan
// as a camera would see the prop, with the ground truth kept. Used by the
// decoder's tests and benchmarks and inside the virtual camera.

namespace pxo::sim {

struct SceneLed {
  double x = 0;  // position in the baseline frame, pixels
  double y = 0;
  bool occluded = false;
  // The string's own byte order: the colour its LED shows for byte 0, 1, 2
  // ("RGB", "GRB", "BRG" ...), whatever the controller was told.
  std::string physicalOrder = "RGB";
  // A dim mirror image (a reflection), as a fraction of the LED's light.
  double reflectionGain = 0;
  double reflectionDx = 0;
  double reflectionDy = 0;
};

struct RenderScene {
  int32_t width = 1024;
  int32_t height = 576;
  std::vector<SceneLed> leds;  // LED index i has ID i + 1
  double spotSigma = 1.5;      // pixels
  double spotPeak = 230;       // camera value at the centre of a full spot
  // Camera channel c's response to emitted colour e (rows: R, G, B).
  std::array<std::array<double, 3>, 3> crosstalk = {
      {{1.0, 0.08, 0.02}, {0.10, 1.0, 0.10}, {0.02, 0.12, 1.0}}};
  double noiseSigma = 0;                      // sensor noise, camera values
  double ambient = 18;                        // mean background
  double ambientTexture = 10;                 // amplitude of its texture
  std::vector<std::array<double, 2>> motion;  // per frame (dx, dy); frame 0 = 0
  double frameInterval = 0.25;  // seconds from one frame to the next
  uint64_t seed = 1;
};

struct RenderedScan {
  std::vector<FramePlanes> frames;
  std::vector<double> times;
  FrameTables tables;
  DecodeOptions options;  // defaults with frames, size, LED count and shifts
  std::vector<int32_t> passShifts;  // what options.passShifts points to
};

// Renders every pattern frame of `plan` (LED i driven through its channel
// offset). The returned options point into the returned object: keep it in
// place (or call bindOptions after moving it).
RenderedScan renderScan(const RenderScene& scene, const ScanPlan& plan);
void bindOptions(RenderedScan* scan);

// Motion of a camera over `frames` frames, frame 0 at rest.
std::vector<std::array<double, 2>> steadyDrift(int32_t frames,
                                               double totalDx,
                                               double totalDy);
void addJitter(std::vector<std::array<double, 2>>* motion,
               double amplitude,
               uint64_t seed);
void addBump(std::vector<std::array<double, 2>>* motion,
             int32_t fromFrame,
             double dx,
             double dy);

// Prop shapes, positions centred in a width × height picture.
std::vector<SceneLed> matrixLeds(
    int32_t cols, int32_t rows, double spacing, int32_t width, int32_t height);
// A serpentine string: rows `rowGap` apart, LEDs `step` apart along it.
std::vector<SceneLed> serpentineLeds(
    int32_t count, double step, double rowGap, int32_t width, int32_t height);

// A scan plan of one RGB port for `count` LEDs, two passes, rotating colours.
ScanPlanPtr simplePlan(int32_t count);

}  // namespace pxo::sim
