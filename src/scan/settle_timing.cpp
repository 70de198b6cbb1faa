#include "scan/settle_timing.h"

#include <algorithm>
#include <cmath>

namespace pxo {

namespace {

constexpr double kProbeStep = 1.0 / 30;
// Probes reach this far past one gap: LEDs that take up to 600 ms to change
// and a camera that lags a few frames more.
constexpr double kProbeReach = 0.9;
// A flood must lift its LED pixels by this much in its colour to be seen;
// it arrives at half its rise and has settled at 85 %.
constexpr double kMinFloodRise = 3.0;
constexpr double kArrivalShare = 0.5;
constexpr double kPlateauShare = 0.85;
// The LED pixels of a flood: the share of the probe picture that rises
// most in the flood's colour, at least kMinLedPixels.
constexpr double kLedPixelShare = 0.01;
constexpr size_t kMinLedPixels = 8;
constexpr int32_t kProbeDimension = 128;

// The probes' mean red, green and blue over the pixels the flood lights:
// those that rise most in `channel` over the first usable probe. A probe
// that failed, or differs in size, is (-1, -1, -1).
std::vector<std::array<double, 3>> ledPixelMeans(
    std::span<const pxowin::BgraFrame> probes, int32_t channel) {
  std::vector<std::array<double, 3>> means(probes.size(), {-1, -1, -1});
  const pxowin::BgraFrame* first = nullptr;
  for (const pxowin::BgraFrame& p : probes)
    if (p.width > 0 && p.height > 0 && !p.pixels.empty()) {
      first = &p;
      break;
    }
  if (!first) return means;
  const size_t pixels = static_cast<size_t>(first->width) * first->height;
  auto usable = [&](const pxowin::BgraFrame& p) {
    return p.width == first->width && p.height == first->height &&
           p.pixels.size() >= pixels * 4 && p.stride == p.width * 4;
  };
  // Byte 2 is red, 1 green, 0 blue.
  const size_t byte = static_cast<size_t>(2 - channel);
  std::vector<int> rise(pixels, 0);
  for (const pxowin::BgraFrame& p : probes) {
    if (!usable(p)) continue;
    for (size_t i = 0; i < pixels; ++i)
      rise[i] = std::max(
          rise[i],
          int(p.pixels[4 * i + byte]) - int(first->pixels[4 * i + byte]));
  }
  std::vector<size_t> order(pixels);
  for (size_t i = 0; i < pixels; ++i) order[i] = i;
  const size_t keep =
      std::min(pixels,
               std::max(kMinLedPixels,
                        static_cast<size_t>(kLedPixelShare * double(pixels))));
  std::nth_element(order.begin(),
                   order.begin() + static_cast<std::ptrdiff_t>(keep - 1),
                   order.end(),
                   [&](size_t a, size_t b) { return rise[a] > rise[b]; });
  order.resize(keep);
  for (size_t j = 0; j < probes.size(); ++j) {
    if (!usable(probes[j])) continue;
    double sum[3] = {0, 0, 0};
    for (size_t i : order)
      for (int c = 0; c < 3; ++c)
        sum[c] += probes[j].pixels[4 * i + static_cast<size_t>(2 - c)];
    for (int c = 0; c < 3; ++c)
      means[j][static_cast<size_t>(c)] = sum[c] / double(keep);
  }
  return means;
}

}  // namespace

double medianMarkGap(std::span<const double> markTimes) {
  std::vector<double> gaps;
  for (size_t i = 1; i < markTimes.size(); ++i)
    gaps.push_back(markTimes[i] - markTimes[i - 1]);
  if (gaps.empty()) return 0.2;
  std::sort(gaps.begin(), gaps.end());
  return gaps[gaps.size() / 2];
}

std::vector<double> settleProbeOffsets(double medianGap) {
  // The first probe, at the mark itself, shows the pattern before the flood.
  std::vector<double> offsets = {0.0};
  for (double t = kProbeStep; t <= medianGap + kProbeReach + 0.000001;
       t += kProbeStep)
    offsets.push_back(t);
  while (offsets.size() < 5) offsets.push_back(offsets.back() + kProbeStep);
  return offsets;
}

double calibrateSettleTiming(
    std::span<const std::vector<std::array<double, 3>>> floods,
    std::span<const double> offsets,
    double medianGap,
    SettleTiming* timing) {
  SettleTiming t;
  t.medianGapSec = medianGap;
  const auto probes = static_cast<int32_t>(offsets.size());
  if (floods.empty() || probes < 4) {
    *timing = t;
    return -1;
  }
  std::vector<double> settles;
  for (size_t f = 0; f < floods.size() && f < 3; ++f) {
    // Flood f lights the LEDs in colour f: follow that channel of the LED
    // pixels from the first valid probe on.
    const auto& means = floods[f];
    std::vector<int32_t> valid;
    for (int32_t j = 0; j < probes && j < static_cast<int32_t>(means.size());
         ++j)
      if (means[j][0] >= 0) valid.push_back(j);
    if (valid.size() < 2) continue;
    const double reference = means[valid[0]][f];
    double peak = 0;
    for (int32_t j : valid) peak = std::max(peak, means[j][f] - reference);
    if (peak < kMinFloodRise) continue;
    int32_t arrival = -1, plateau = -1;
    for (int32_t j : valid) {
      const double rise = means[j][f] - reference;
      if (arrival < 0 && rise > kArrivalShare * peak) arrival = j;
      if (arrival >= 0 && rise >= kPlateauShare * peak) {
        plateau = j;
        break;
      }
    }
    if (arrival < 0 || plateau < 0) continue;
    t.arrivalProbeIdx[f] = arrival;
    t.plateauProbeIdx[f] = plateau;
    settles.push_back(offsets[static_cast<size_t>(plateau)]);
  }
  if (settles.empty()) {
    *timing = t;
    return -1;
  }
  std::sort(settles.begin(), settles.end());
  t.medianSettleSec = settles[settles.size() / 2];
  t.settledFloods = static_cast<int32_t>(settles.size());
  // A pattern shows from its plateau until the next one arrives, about one
  // gap later, however long the LEDs and the camera take to show it.
  const double gap = medianGap;
  t.effectiveOffsetSec =
      std::min(std::max(t.medianSettleSec + 0.4 * gap, 0.12),
               std::max(t.medianSettleSec + gap - 0.04, 0.12));
  *timing = t;
  return t.effectiveOffsetSec;
}

const char* settleStatus(const SettleTiming& timing, double usedOffset) {
  if (usedOffset == kStaticSettleOffset && timing.effectiveOffsetSec < 0)
    return "static-fallback";
  if (timing.usedMidDwellFallback) return "mid-dwell-fallback";
  if (timing.usedArrivalRescue) return "arrival-rescue";
  return "calibrated";
}

SettleMeasurement measureSettleTiming(
    pxowin::ICaptureSource& camera,
    const ScanPlan* plan,
    std::span<const double> markTimes,
    const std::function<void(const std::string&)>& report) {
  const std::string message = "Calibrating settle timing\xE2\x80\xA6";
  report(message);
  SettleMeasurement settle;
  const double gap = medianMarkGap(markTimes);
  settle.probeOffsets = settleProbeOffsets(gap);
  settle.probeMeans.resize(3);
  const size_t probeCount = settle.probeOffsets.size();
  const size_t total = 3 * probeCount;
  // The three floods' probes overlap in time: read them all in time order,
  // so that the recording is decoded forward once instead of from a key
  // frame for every flood.
  std::vector<std::pair<double, size_t>> order;  // time, flood × probes + j
  for (size_t c = 0; c < 3; ++c) {
    const auto flood =
        static_cast<size_t>(floodFrameIndex(plan, static_cast<int32_t>(c)));
    const double markTime = flood < markTimes.size() ? markTimes[flood] : 0;
    for (size_t j = 0; j < probeCount; ++j)
      order.push_back({markTime + settle.probeOffsets[j], c * probeCount + j});
  }
  std::stable_sort(
      order.begin(), order.end(), [](const auto& a, const auto& b) {
        return a.first < b.first;
      });
  std::vector<pxowin::BgraFrame> probes(total);
  size_t counter = 0;
  for (const auto& [time, slot] : order) {
    report(message + " " + std::to_string(++counter) + "/" +
           std::to_string(total));
    if (!camera.extractFrame(time, kProbeDimension, probes[slot], nullptr))
      probes[slot] = {};
  }
  for (size_t c = 0; c < 3; ++c)
    settle.probeMeans[c] =
        ledPixelMeans(std::span(probes).subspan(c * probeCount, probeCount),
                      static_cast<int32_t>(c));
  const double offset = calibrateSettleTiming(
      settle.probeMeans, settle.probeOffsets, gap, &settle.timing);
  settle.offset = offset < 0 ? kStaticSettleOffset : offset;
  return settle;
}

CalibrationRecord settleCalibrationRecord(const SettleMeasurement& settle) {
  const SettleTiming& timing = settle.timing;
  CalibrationRecord calibration;
  calibration.status = settleStatus(timing, settle.offset);
  calibration.effectiveOffsetSec = settle.offset;
  calibration.medianGapSec = timing.medianGapSec;
  calibration.medianSettleSec = timing.medianSettleSec;
  calibration.usedMidDwellFallback = timing.usedMidDwellFallback != 0;
  calibration.usedArrivalRescue = timing.usedArrivalRescue != 0;
  calibration.usedStaticFallback = settle.offset == kStaticSettleOffset;
  calibration.probeOffsetsSec = settle.probeOffsets;
  const char* floodLabels[3] = {"R-full", "G-full", "B-full"};
  for (size_t c = 0; c < 3; ++c) {
    calibration.floods.push_back(
        {floodLabels[c], timing.arrivalProbeIdx[c], timing.plateauProbeIdx[c]});
    if (c < settle.probeMeans.size())
      for (const auto& mean : settle.probeMeans[c])
        calibration.probeMeans.insert(
            calibration.probeMeans.end(), mean.begin(), mean.end());
  }
  return calibration;
}

}  // namespace pxo
