#include "scan/settle_timing.h"

#include <algorithm>
#include <cmath>

namespace pxo {

namespace {

constexpr double kProbeStep = 1.0 / 30;
constexpr double kArrivalDistance = 20.0;
constexpr double kPlateauDistance = 8.0;

double probeDistance(const std::array<double, 3>& a,
                     const std::array<double, 3>& b) {
  return std::fabs(a[0] - b[0]) + std::fabs(a[1] - b[1]) +
         std::fabs(a[2] - b[2]);
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
  std::vector<double> offsets;
  for (double t = kProbeStep; t <= medianGap + 0.45 + 0.000001; t += kProbeStep)
    offsets.push_back(t);
  while (offsets.size() < 4)
    offsets.push_back((offsets.empty() ? 0.0 : offsets.back()) + kProbeStep);
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
  std::vector<int32_t> arrivals;
  for (size_t f = 0; f < floods.size() && f < 3; ++f) {
    const auto& means = floods[f];
    std::vector<int32_t> valid;
    for (int32_t j = 0; j < probes && j < static_cast<int32_t>(means.size());
         ++j)
      if (means[j][0] >= 0) valid.push_back(j);
    if (valid.empty()) continue;
    const auto& reference = means[valid[0]];
    int32_t arrival = -1;
    size_t arrivalAt = 0;
    for (size_t k = 0; k < valid.size(); ++k)
      if (probeDistance(means[valid[k]], reference) > kArrivalDistance) {
        arrival = valid[k];
        arrivalAt = k;
        break;
      }
    if (arrival < 0) continue;
    int32_t plateau = -1;
    int32_t previous = arrival;
    for (size_t k = arrivalAt + 1; k < valid.size(); ++k) {
      if (probeDistance(means[valid[k]], means[previous]) < kPlateauDistance) {
        plateau = valid[k];
        break;
      }
      previous = valid[k];
    }
    if (plateau < 0) plateau = valid.back();
    t.arrivalProbeIdx[f] = arrival;
    t.plateauProbeIdx[f] = plateau;
    settles.push_back(offsets[static_cast<size_t>(plateau)]);
    arrivals.push_back(arrival);
  }
  if (settles.empty()) {
    *timing = t;
    return -1;
  }
  std::sort(settles.begin(), settles.end());
  t.medianSettleSec = settles[settles.size() / 2];
  t.settledFloods = static_cast<int32_t>(settles.size());
  const double gap = medianGap;
  double effective;
  if (t.medianSettleSec < gap) {
    effective = std::min(std::max(t.medianSettleSec + 0.4 * gap, 0.12),
                         std::max(t.medianSettleSec + gap - 0.04, 0.12));
  } else {
    std::sort(arrivals.begin(), arrivals.end());
    int32_t m = arrivals[arrivals.size() / 2];
    if (m >= 0 && m < probes && offsets[static_cast<size_t>(m)] > 0 &&
        offsets[static_cast<size_t>(m)] < gap) {
      effective = (offsets[static_cast<size_t>(m)] + gap) * 0.5;
      t.usedArrivalRescue = 1;
    } else {
      effective =
          std::min(std::max(0.5 * gap, 0.12), std::max(gap - 0.04, 0.12));
      t.usedMidDwellFallback = 1;
    }
  }
  t.effectiveOffsetSec = effective;
  *timing = t;
  return effective;
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
  const size_t total = 3 * settle.probeOffsets.size();
  size_t counter = 0;
  for (int32_t c = 0; c < 3; ++c) {
    const auto flood = static_cast<size_t>(floodFrameIndex(plan, c));
    const double markTime = flood < markTimes.size() ? markTimes[flood] : 0;
    for (double offset : settle.probeOffsets) {
      report(message + " " + std::to_string(++counter) + "/" +
             std::to_string(total));
      pxowin::BgraFrame frame;
      std::array<double, 3> mean = {-1, -1, -1};
      if (camera.extractFrame(markTime + offset, 128, frame, nullptr) &&
          !frame.pixels.empty()) {
        double sum[3] = {0, 0, 0};
        const size_t pixels = static_cast<size_t>(frame.width) * frame.height;
        for (int32_t y = 0; y < frame.height; ++y) {
          const uint8_t* row =
              frame.pixels.data() + static_cast<size_t>(y) * frame.stride;
          for (int32_t x = 0; x < frame.width; ++x) {
            sum[0] += row[size_t{4} * x + 2];
            sum[1] += row[size_t{4} * x + 1];
            sum[2] += row[size_t{4} * x];
          }
        }
        for (int k = 0; k < 3; ++k) mean[k] = sum[k] / double(pixels);
      }
      settle.probeMeans[static_cast<size_t>(c)].push_back(mean);
    }
  }
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
