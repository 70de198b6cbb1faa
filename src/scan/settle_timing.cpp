#include "scan/settle_timing.h"

#include <algorithm>
#include <cmath>

namespace pxo {

namespace {

constexpr double kProbeStep = 1.0 / 30;
// Probes reach this far past one gap: LEDs that take up to 600 ms to change
// and a camera that lags a few frames more.
constexpr double kProbeReach = 0.9;
// A flood must change its LED pixels by this much to be seen; it arrives
// at half its change and has settled at 85 %.
constexpr double kMinFloodRise = 3.0;
constexpr double kArrivalShare = 0.5;
constexpr double kPlateauShare = 0.85;
// Read the pattern at least this long before the next one arrives.
constexpr double kNextPatternMargin = 0.05;
// The LED pixels of a flood: the share of the probe picture that rises
// most, at least kMinLedPixels.
constexpr double kLedPixelShare = 0.01;
constexpr size_t kMinLedPixels = 8;
constexpr int32_t kProbeDimension = 128;

// The probes' mean red, green and blue over the pixels the flood changes
// most, in any colour, from the first usable probe: a strip wired in
// another colour order shows the flood in another colour. A probe that
// failed, or differs in size, is (-1, -1, -1).
std::vector<std::array<double, 3>> ledPixelMeans(
    std::span<const pxowin::BgraFrame> probes) {
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
  std::vector<int> rise(pixels, 0);
  for (const pxowin::BgraFrame& p : probes) {
    if (!usable(p)) continue;
    for (size_t i = 0; i < pixels; ++i)
      for (size_t byte = 0; byte < 3; ++byte)
        rise[i] = std::max(rise[i],
                           std::abs(int(p.pixels[4 * i + byte]) -
                                    int(first->pixels[4 * i + byte])));
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

namespace {

// The probes (indices into `offsets`) of a flood's arrival and plateau:
// when its LED pixels move, in any colour, away from how they looked at the
// first valid probe at or after `from` seconds (the pattern before the
// flood), and when they have settled. A strip in another colour order
// shows the flood in another colour, and the next flood comes in yet
// another. {-1, -1} when the flood cannot be told.
std::pair<int32_t, int32_t> floodArrivalAndPlateau(
    const std::vector<std::array<double, 3>>& means,
    std::span<const double> offsets,
    double gap,
    double from,
    bool fromDark) {
  const auto probes = static_cast<int32_t>(offsets.size());
  std::vector<int32_t> valid;
  for (int32_t j = 0; j < probes && j < static_cast<int32_t>(means.size()); ++j)
    if (means[j][0] >= 0 && offsets[static_cast<size_t>(j)] >= from - 1e-9)
      valid.push_back(j);
  if (fromDark && !valid.empty()) {
    // The dark baseline shows before the flood, but at a lag of a gap or
    // more the first probes still show what the LEDs showed before it
    // (the aiming picture, say): start where the picture is first about
    // as dark as it gets.
    auto brightest = [&](int32_t j) {
      const auto& m = means[static_cast<size_t>(j)];
      return std::max({m[0], m[1], m[2]});
    };
    double dark = brightest(valid[0]), light = dark;
    for (int32_t j : valid) {
      dark = std::min(dark, brightest(j));
      light = std::max(light, brightest(j));
    }
    const double margin = std::max(kMinFloodRise, 0.1 * (light - dark));
    const auto first = std::find_if(valid.begin(), valid.end(), [&](int32_t j) {
      return brightest(j) <= dark + margin;
    });
    valid.erase(valid.begin(), first);
  }
  if (valid.size() < 2) return {-1, -1};
  const auto& reference = means[static_cast<size_t>(valid[0])];
  auto change = [&](int32_t j) {
    double most = 0;
    for (size_t c = 0; c < 3; ++c)
      most = std::max(
          most, std::abs(means[static_cast<size_t>(j)][c] - reference[c]));
    return most;
  };
  double peak = 0;
  for (int32_t j : valid) peak = std::max(peak, change(j));
  if (peak < kMinFloodRise) return {-1, -1};
  int32_t arrival = -1;
  for (int32_t j : valid)
    if (change(j) > kArrivalShare * peak) {
      arrival = j;
      break;
    }
  if (arrival < 0) return {-1, -1};
  // The flood's own level is the most it shows within half a gap of
  // arriving: a later pattern may move the picture further, and a
  // compressed stream may take frames to sharpen a sudden change.
  const double windowEnd = offsets[static_cast<size_t>(arrival)] + gap / 2;
  double level = 0;
  for (int32_t j : valid)
    if (j >= arrival && offsets[static_cast<size_t>(j)] <= windowEnd + 1e-9)
      level = std::max(level, change(j));
  for (int32_t j : valid)
    if (j >= arrival && change(j) >= kPlateauShare * level) return {arrival, j};
  return {-1, -1};
}

}  // namespace

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
  const double gap = medianGap;
  // Flood f's arrival and plateau (probe indices).
  auto measure = [&](size_t f, double from, bool fromDark) {
    return floodArrivalAndPlateau(floods[f], offsets, gap, from, fromDark);
  };
  // The first flood follows the dark baseline, so its LEDs' first change
  // after the dark is its own at any lag. A later flood follows another
  // flood; before that one (at a lag over a gap) older patterns show, so it
  // is measured from half a gap before the first flood's arrival, when the
  // flood before it shows.
  std::vector<double> settles, arrivals;
  double from = 0;
  for (size_t f = 0; f < floods.size() && f < 3; ++f) {
    const auto [arrival, plateau] = measure(f, f == 0 ? 0.0 : from, f == 0);
    if (arrival < 0) continue;
    if (f == 0)
      from = std::max(offsets[static_cast<size_t>(arrival)] - gap / 2, 0.0);
    t.arrivalProbeIdx[f] = arrival;
    t.plateauProbeIdx[f] = plateau;
    settles.push_back(offsets[static_cast<size_t>(plateau)]);
    arrivals.push_back(offsets[static_cast<size_t>(arrival)]);
  }
  if (settles.empty()) {
    *timing = t;
    return -1;
  }
  std::sort(settles.begin(), settles.end());
  std::sort(arrivals.begin(), arrivals.end());
  t.medianSettleSec = settles[settles.size() / 2];
  t.settledFloods = static_cast<int32_t>(settles.size());
  // A pattern shows from its plateau until the next one arrives, one gap
  // after it did, however long the LEDs and the camera take to show it.
  const double nextArrives = arrivals[arrivals.size() / 2] + gap;
  t.effectiveOffsetSec = std::max(
      std::min(t.medianSettleSec + 0.4 * gap, nextArrives - kNextPatternMargin),
      0.12);
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
    const FrameReader& read,
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
    if (!read(time, kProbeDimension, &probes[slot])) probes[slot] = {};
  }
  for (size_t c = 0; c < 3; ++c)
    settle.probeMeans[c] =
        ledPixelMeans(std::span(probes).subspan(c * probeCount, probeCount));
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
