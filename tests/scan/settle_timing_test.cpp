#include "scan/settle_timing.h"

#include "scan/calibration.h"

#include <gtest/gtest.h>

namespace pxo {
namespace {

using Means = std::vector<std::array<double, 3>>;

// One flood's probe means: `before` until probe `arrive`, then `after`.
Means flood(size_t probes,
            size_t arrive,
            std::array<double, 3> before,
            std::array<double, 3> after) {
  Means m;
  for (size_t j = 0; j < probes; ++j) m.push_back(j < arrive ? before : after);
  return m;
}

TEST(SettleTiming, GapsAndProbes) {
  std::vector<double> marks;
  for (int i = 0; i < 10; ++i) marks.push_back(0.2 * i);
  EXPECT_NEAR(medianMarkGap(marks), 0.2, 1e-12);
  EXPECT_EQ(medianMarkGap(std::vector<double>{}), 0.2);
  EXPECT_EQ(settleProbeOffsets(0.2).size(), 19u);
  EXPECT_NEAR(settleProbeOffsets(0.2).back(), 19 / 30.0, 1e-9);
  EXPECT_EQ(settleProbeOffsets(0.0).size(), 13u);
  EXPECT_EQ(settleProbeOffsets(-1.0).size(), 4u);
}

TEST(SettleTiming, Calibrated) {
  // Arrives at probe 1, settles at probe 2 (0.1 s): 0.1 + 0.4 × 0.2 = 0.18.
  auto offsets = settleProbeOffsets(0.2);
  std::vector<Means> floods(
      3, flood(offsets.size(), 1, {20, 20, 20}, {80, 20, 20}));
  SettleTiming t;
  double offset = calibrateSettleTiming(floods, offsets, 0.2, &t);
  EXPECT_NEAR(t.medianSettleSec, 0.1, 1e-12);
  EXPECT_NEAR(offset, 0.18, 1e-12);
  EXPECT_EQ(t.arrivalProbeIdx[0], 1);
  EXPECT_EQ(t.plateauProbeIdx[0], 2);
  EXPECT_EQ(t.settledFloods, 3);
  EXPECT_STREQ(settleStatus(t, offset), "calibrated");
}

TEST(SettleTiming, Fallbacks) {
  auto offsets = settleProbeOffsets(0.2);
  // Never more than 20 apart: nothing arrives, the static offset is used.
  std::vector<Means> flat(3,
                          flood(offsets.size(), 5, {20, 20, 20}, {30, 20, 20}));
  SettleTiming t;
  EXPECT_EQ(calibrateSettleTiming(flat, offsets, 0.2, &t), -1);
  EXPECT_EQ(t.arrivalProbeIdx[1], -1);
  EXPECT_STREQ(settleStatus(t, kStaticSettleOffset), "static-fallback");

  // Settles at 0.25 s (later than the gap) but arrives at 0.1 s: the
  // arrival rescue, (0.1 + 0.2) / 2.
  std::vector<Means> late(3,
                          flood(offsets.size(), 2, {20, 20, 20}, {80, 20, 20}));
  for (auto& f : late) {
    f[3] = {100, 20, 20};  // keeps changing ...
    f[4] = {120, 20, 20};
    f[5] = {140, 20, 20};
    f[6] = {160, 20, 20};  // ... until 0.233; plateau at index 7 (0.267)
    for (size_t j = 7; j < f.size(); ++j) f[j] = {161, 20, 20};
  }
  double offset = calibrateSettleTiming(late, offsets, 0.2, &t);
  EXPECT_EQ(t.usedArrivalRescue, 1);
  EXPECT_NEAR(offset, (offsets[2] + 0.2) * 0.5, 1e-12);
  EXPECT_STREQ(settleStatus(t, offset), "arrival-rescue");

  // The same with arrivals that are no use (at or past the gap): mid-dwell.
  for (auto& f : late)
    for (size_t j = 0; j < 7; ++j) f[j] = {20, 20, 20};
  offset = calibrateSettleTiming(late, offsets, 0.2, &t);
  EXPECT_EQ(t.usedMidDwellFallback, 1);
  EXPECT_NEAR(offset, 0.12, 1e-12);
  EXPECT_STREQ(settleStatus(t, offset), "mid-dwell-fallback");

  // Too few probes, or failed ones only.
  EXPECT_EQ(calibrateSettleTiming(late, std::vector<double>{0.1, 0.2}, 0.2, &t),
            -1);
  std::vector<Means> failed(3, Means(offsets.size(), {-1, -1, -1}));
  EXPECT_EQ(calibrateSettleTiming(failed, offsets, 0.2, &t), -1);
}

FramePlanes uniform(size_t pixels, uint8_t r, uint8_t g, uint8_t b) {
  FramePlanes f;
  f.plane[0].assign(pixels, r);
  f.plane[1].assign(pixels, g);
  f.plane[2].assign(pixels, b);
  return f;
}

TEST(BrightnessCalibration, NoiseAndLevelChoice) {
  // Dark frames whose pixels vary by 0 ... 3: noise (95th percentile of the
  // per-pixel range) 3, threshold 12.
  const size_t pixels = 1000;
  std::vector<FramePlanes> dark;
  for (int k = 0; k < 4; ++k) {
    FramePlanes f = uniform(pixels, 10, 10, 10);
    for (size_t p = 0; p < pixels; ++p)
      f.plane[1][p] = static_cast<uint8_t>(10 + (p % 4 == 0 ? k : 0));
    dark.push_back(f);
  }
  CameraNoise noise;
  ASSERT_TRUE(measureCameraNoise(dark, 1000, 1, &noise));
  EXPECT_EQ(noise.noiseG, 3);
  EXPECT_EQ(noise.noiseMax, 3);
  EXPECT_EQ(noise.darkFrameCount, 4);
  EXPECT_FALSE(measureCameraNoise(std::span(dark).first(1), 1000, 1, &noise));
  ASSERT_TRUE(measureCameraNoise(dark, 1000, 1, &noise));

  // Level frames: 2 % of the pixels brighten by the level / 8 in green.
  std::vector<LevelMeasurement> levels;
  for (uint8_t level : kCalibrationLevels) {
    FramePlanes lit = dark[0];
    for (size_t p = 0; p < 20; ++p)
      lit.plane[1][p * 50 + 1] =
          static_cast<uint8_t>(std::min(255, 10 + level / 8));
    levels.push_back(measureLevel(lit, dark[0], level, noise));
  }
  // p99 reaches the 12 threshold first at level 96 (96 / 8 = 12).
  EXPECT_EQ(chooseLevel(levels, noise), 96);
  // Saturating more than 2 % of the picture disqualifies a level.
  for (auto& m : levels) m.saturatedFraction = 0.03;
  EXPECT_EQ(chooseLevel(levels, noise), -1);

  // A camera without noise: the threshold is 1.
  CameraNoise silent;
  std::vector<LevelMeasurement> faint(1);
  faint[0].level = 16;
  faint[0].p99B = 1;
  EXPECT_EQ(chooseLevel(faint, silent), 16);
  faint[0].p99B = 0.5;
  EXPECT_EQ(chooseLevel(faint, silent), -1);

  std::vector<int64_t> histogram(256, 0);
  EXPECT_EQ(histogramPercentile(histogram, 0.5), 0);
  histogram[7] = 3;
  histogram[200] = 1;
  EXPECT_EQ(histogramPercentile(histogram, 0.75), 7);
  EXPECT_EQ(histogramPercentile(histogram, 1.0), 200);
}

}  // namespace
}  // namespace pxo
