#pragma once

#include "decode/decode_types.h"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

// Brightness auto-calibration: before the first scan of a session, a short
// recording of its own measures how noisy the dark picture is and how
// bright the LEDs appear at nine drive levels, and picks the lowest level
// that clearly stands out without saturating the picture.

namespace pxo {

struct ScanSession;

inline constexpr std::array<uint8_t, 9> kCalibrationLevels = {
    16, 32, 48, 64, 96, 128, 160, 200, 255};

struct CameraNoise {
  double noiseR = 0, noiseG = 0, noiseB = 0;  // 95th percentile of pixel ranges
  double noiseMax = 0;
  double darkMeanR = 0, darkMeanG = 0, darkMeanB = 0;
  int32_t darkFrameCount = 0;
};

struct LevelMeasurement {
  uint8_t level = 0;
  double maxR = 0, maxG = 0, maxB = 0;  // 100th percentile of the increase
  double p99R = 0, p99G = 0, p99B = 0;  // 99th percentile
  double litFraction = 0;
  double saturatedFraction = 0;
};

struct BrightnessCalibration {
  bool calibrated = false;
  CameraNoise noise;
  int32_t calibratedLevel = 0;
  bool usedDefaultLevel = false;
};

// Runs the calibration on the session's first scan (once one succeeded,
// later calls return at once). Outcomes are progress messages only.
void calibrateBrightness(ScanSession& session);

// The smallest value whose cumulative count reaches max(ceil(p × total), 1)
// of a 256-bin histogram; 0 for an empty one.
double histogramPercentile(std::span<const int64_t> histogram, double p);

// The noise of a set of dark frames of one size; false when fewer than two
// or their sizes differ.
[[nodiscard]] bool measureCameraNoise(std::span<const FramePlanes> dark,
                                      int32_t width,
                                      int32_t height,
                                      CameraNoise* out);

// How `lit` brightens over `dark` at `level`.
LevelMeasurement measureLevel(const FramePlanes& lit,
                              const FramePlanes& dark,
                              uint8_t level,
                              const CameraNoise& noise);

// The lowest level that stands out of the noise (p99 ≥ max(1, 4 × noise))
// and saturates at most 2 % of the picture; -1 when none does.
int32_t chooseLevel(std::span<const LevelMeasurement> measurements,
                    const CameraNoise& noise);

}  // namespace pxo
