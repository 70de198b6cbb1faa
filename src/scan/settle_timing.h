#pragma once

#include "capture/capture_source.h"
#include "output/scan_data.h"
#include "scan/scan_decode.h"
#include "scan/scan_plan.h"

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

// The scan run's timing: how long after each mark the LEDs and the camera
// show a new pattern, found from probe frames around the three floods.

namespace pxo {

struct SettleTiming {
  double medianGapSec = 0;
  double medianSettleSec = -1;
  double effectiveOffsetSec = -1;
  int32_t usedMidDwellFallback = 0;
  int32_t settledFloods = 0;
  std::array<int32_t, 3> arrivalProbeIdx = {-1, -1, -1};
  std::array<int32_t, 3> plateauProbeIdx = {-1, -1, -1};
  int32_t usedArrivalRescue = 0;
};

// Offset used when the calibration finds nothing.
inline constexpr double kStaticSettleOffset = 0.3;

// The median (element n / 2) of the gaps between consecutive marks; 0.2
// without gaps.
double medianMarkGap(std::span<const double> markTimes);

// 0 (the mark itself), then 1/30 s, 2/30 s, ... while within the gap +
// 0.9 s (LEDs that take up to 600 ms, and a camera that lags); at least
// five.
std::vector<double> settleProbeOffsets(double medianGap);

// From per flood and probe mean (R, G, B) values over the pixels the LEDs
// light (red < 0: a failed probe), the offset after each mark at which
// frames show their pattern; -1 when no flood arrived. Flood f is followed
// in colour f from the first valid probe: it arrives at the first probe
// above half its largest rise and has settled at the first at 85 %; the
// offset is the median settle + 0.4 gap (at most settle + gap − 0.04, at
// least 0.12), however many gaps late that is. `timing` gets the details.
double calibrateSettleTiming(
    std::span<const std::vector<std::array<double, 3>>> floodProbeMeans,
    std::span<const double> offsets,
    double medianGap,
    SettleTiming* timing);

// "calibrated", "arrival-rescue", "mid-dwell-fallback" or "static-fallback".
const char* settleStatus(const SettleTiming& timing, double usedOffset);

// What the settle-timing stage of a scan found: the probes it read, the
// calibration's details and the offset the frames are read at (the static
// offset when the calibration found nothing).
struct SettleMeasurement {
  std::vector<double> probeOffsets;
  std::vector<std::vector<std::array<double, 3>>> probeMeans;  // per flood
  SettleTiming timing;
  double offset = kStaticSettleOffset;
};

// Reads the probes after the three flood marks of `plan` from the
// recording (reporting "Calibrating settle timing… k/n") and calibrates the
// offset. `markTimes` must reach the last flood; the gap between patterns
// is their median.
SettleMeasurement measureSettleTiming(
    const FrameReader& read,
    const ScanPlan* plan,
    std::span<const double> markTimes,
    const std::function<void(const std::string&)>& report);

// The calibration record of the scan data.
CalibrationRecord settleCalibrationRecord(const SettleMeasurement& settle);

}  // namespace pxo
