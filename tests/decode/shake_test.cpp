#include "decode/shake.h"

#include "decode/image_ops.h"

#include <cmath>
#include <random>

#include <gtest/gtest.h>

namespace pxo {
namespace {

// A textured picture shifted by (dx, dy) whole pixels, in all three planes.
FramePlanes texture(
    int32_t w, int32_t h, int32_t dx, int32_t dy, uint64_t seed = 5) {
  std::mt19937 rng(static_cast<uint32_t>(seed));
  std::vector<uint8_t> base(static_cast<size_t>(w) * h);
  for (auto& v : base) v = static_cast<uint8_t>(rng() % 200);
  // Smooth it a little so reduced images keep structure.
  FramePlanes f;
  for (auto& plane : f.plane) plane.assign(base.size(), 0);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      int32_t sx = x - dx, sy = y - dy;
      uint8_t v = 0;
      if (sx >= 0 && sx < w && sy >= 0 && sy < h)
        v = base[static_cast<size_t>(sy / 4 * 4) * w + sx / 4 * 4];
      for (auto& plane : f.plane) plane[static_cast<size_t>(y) * w + x] = v;
    }
  return f;
}

struct ShakeScene {
  std::vector<FramePlanes> frames;
  std::vector<double> times;
  FrameTables tables;
  DecodeOptions options;
};

// Baseline, three floods, then bit frame pairs: 4 + 2 × bits frames, one
// every `interval` seconds (a bit frame and its complement at the same
// time), the camera moving `rate` pixels per second in x.
ShakeScene drifting(int32_t bits,
                    double interval,
                    double rate,
                    int32_t tiles = 2) {
  ShakeScene s;
  const int32_t w = 512, h = 384;
  int32_t frames = 4 + 2 * bits;
  for (int32_t f = 0; f < frames; ++f) {
    double t = (f < 4 ? f : 4 + (f - 4) / 2) * interval;
    s.frames.push_back(
        texture(w, h, static_cast<int32_t>(std::lround(rate * t)), 0));
    s.times.push_back(t);
  }
  s.tables.idBits = bits;
  s.tables.passes = 1;
  for (int32_t b = 0; b < bits; ++b) {
    s.tables.bitFrames.push_back(4 + 2 * b);
    s.tables.bitComplementFrames.push_back(5 + 2 * b);
  }
  s.options.baselineFrame = 0;
  s.options.floodFrames = {1, 2, 3};
  s.options.width = w;
  s.options.height = h;
  s.options.refWidth = w;
  s.options.refHeight = h;
  s.options.tilesX = tiles;
  s.options.tilesY = tiles;
  return s;
}

TEST(ShakeEstimation, StaticCameraGivesZeros) {
  ShakeScene s = drifting(4, 0.25, 0);
  DecodeStats stats;
  ShakeResult r =
      estimateTranslationField(s.frames, s.times, s.tables, s.options, &stats);
  // Shifts are measured to a fraction of a pixel; the noise leaves
  // thousandths.
  for (const Shift& shift : r.field.shifts) {
    EXPECT_NEAR(shift.dx, 0, 0.01);
    EXPECT_NEAR(shift.dy, 0, 0.01);
  }
  EXPECT_LT(stats.maxTileDeviation, 0.05);
  EXPECT_EQ(stats.outlierCount, 0);
}

TEST(ShakeEstimation, SteadyDriftGivesItsRate) {
  // 16 px per second: every sample lands on whole reduced pixels.
  ShakeScene s = drifting(5, 0.25, 16);
  DecodeStats stats;
  ShakeResult r =
      estimateTranslationField(s.frames, s.times, s.tables, s.options, &stats);
  for (int32_t f = 0; f < static_cast<int32_t>(s.frames.size()); ++f) {
    for (int32_t k = 0; k < r.field.tileCount(); ++k) {
      EXPECT_NEAR(r.field.at(f, k).dx, 16 * s.times[f], 0.5) << "frame " << f;
      EXPECT_NEAR(r.field.at(f, k).dy, 0, 0.5);
    }
    EXPECT_NEAR(stats.frameTranslations[2 * f], 16 * s.times[f], 0.5);
  }
  EXPECT_EQ(r.field.at(0, 0).dx, 0)
      << "the baseline moves by definition not at all";
}

TEST(ShakeEstimation, ASlowDriftOfAFewPixelsIsMeasured) {
  // 1 px per second over 2.5 s: under one reduced pixel (4 px) at the end,
  // which whole-pixel offsets would read as no motion at all.
  ShakeScene s = drifting(9, 0.25, 1);
  ShakeResult r =
      estimateTranslationField(s.frames, s.times, s.tables, s.options, nullptr);
  const int32_t last = static_cast<int32_t>(s.frames.size()) - 1;
  for (int32_t k = 0; k < r.field.tileCount(); ++k)
    EXPECT_NEAR(r.field.at(last, k).dx, std::lround(s.times[last]), 0.6);
}

TEST(ShakeEstimation, DisabledOrTimelessMeansNoMotion) {
  ShakeScene s = drifting(4, 0.25, 16);
  s.options.shakeDisabled = 1;
  ShakeResult off =
      estimateTranslationField(s.frames, s.times, s.tables, s.options, nullptr);
  for (const Shift& shift : off.field.shifts) EXPECT_EQ(shift.dx, 0);

  ShakeScene same = drifting(4, 0.25, 16);
  std::fill(same.times.begin(), same.times.end(), 3.0);
  ShakeResult timeless = estimateTranslationField(
      same.frames, same.times, same.tables, same.options, nullptr);
  for (const Shift& shift : timeless.field.shifts) EXPECT_EQ(shift.dx, 0);
}

TEST(ShakeEstimation, OutlierFrameTakesItsNeighboursAverage) {
  ShakeScene s = drifting(4, 0.25, 16);
  // Frame 6 (its pair left out of the measurement) has a time far off: its
  // drift jumps past 50 px from frame 5, and frame 7's jumps back.
  s.tables.bitFrames[1] = s.tables.bitComplementFrames[1] = -1;
  s.times[6] = 20.0;
  DecodeStats stats;
  ShakeResult r =
      estimateTranslationField(s.frames, s.times, s.tables, s.options, &stats);
  EXPECT_EQ(stats.outlierFrames, (std::vector<int32_t>{6, 7}));
  double expected = (r.field.at(5, 0).dx + r.field.at(8, 0).dx) / 2;
  EXPECT_NEAR(r.field.at(6, 0).dx, expected, 1e-9);
  EXPECT_NEAR(r.field.at(7, 0).dx, expected, 1e-9);
}

TEST(MeasureOffsets, BlackTileTakesTheWholeImageShift) {
  const int32_t w = 64, h = 64;
  FramePlanes a = texture(w, h, 0, 0), b = texture(w, h, 8, 4);
  // Blacken the moving image's top-left quarter.
  for (auto& plane : b.plane)
    for (int32_t y = 0; y < h / 2; ++y)
      for (int32_t x = 0; x < w / 2; ++x)
        plane[static_cast<size_t>(y) * w + x] = 0;
  ReducedImage ra = reduceFrame(a, w, h, 2), rb = reduceFrame(b, w, h, 2);
  auto offsets = measureOffsets(ra, rb, 6, 2, 2, {}, SimdMode::kAuto);
  ASSERT_EQ(offsets.size(), 4u);
  for (auto [ox, oy] : offsets) {
    EXPECT_EQ(ox, 4);
    EXPECT_EQ(oy, 2);
  }
  EXPECT_EQ(measureOffsets(ra, rb, 6, 2, 2, {}, SimdMode::kScalar), offsets);
  EXPECT_EQ(measureOffsets(ra, rb, -1, 1, 1, {}, SimdMode::kAuto)[0],
            (std::pair<int32_t, int32_t>{0, 0}));
}

// LEDs in rows every 6 reduced pixels, the moving picture one pixel to the
// right; one tile holds nothing but compression noise, different in each
// picture. That tile matches noise somewhere within the search radius
// about as well as anywhere: it keeps to the whole picture's offset.
TEST(MeasureOffsets, ANoiseTileDoesNotWanderOff) {
  const int32_t w = 64, h = 64;
  std::mt19937 rng(11);
  auto picture = [&](int32_t shift) {
    ReducedImage image;
    image.width = w;
    image.height = h;
    image.pixels.assign(static_cast<size_t>(w) * h, 8);
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) {
        uint8_t& p = image.pixels[static_cast<size_t>(y) * w + x];
        if (x >= w / 2 && y >= h / 2)
          p = static_cast<uint8_t>(16 + rng() % 48);
        else if ((x - shift) % 6 < 2 && y % 6 < 2)
          p = 200;
      }
    return image;
  };
  const ReducedImage ref = picture(0), mov = picture(1);
  for (SimdMode mode : {SimdMode::kAuto, SimdMode::kScalar}) {
    auto offsets = measureOffsets(ref, mov, 6, 2, 2, {}, mode);
    ASSERT_EQ(offsets.size(), 4u);
    for (size_t k = 0; k < 3; ++k)
      EXPECT_EQ(offsets[k], (std::pair<int32_t, int32_t>{1, 0})) << k;
    EXPECT_LE(std::abs(offsets[3].first - 1), 1);
    EXPECT_LE(std::abs(offsets[3].second), 1);
  }
}

TEST(ShiftAt, BilinearBetweenTileCentres) {
  TranslationField field;
  field.tilesX = 2;
  field.tilesY = 1;
  field.width = 100;
  field.height = 50;
  field.shifts = {{0, 0}, {10, -4}};
  EXPECT_DOUBLE_EQ(shiftAt(field, 0, 25, 10).dx, 0);   // left tile centre
  EXPECT_DOUBLE_EQ(shiftAt(field, 0, 75, 40).dx, 10);  // right tile centre
  EXPECT_DOUBLE_EQ(shiftAt(field, 0, 50, 0).dx, 5);
  EXPECT_DOUBLE_EQ(shiftAt(field, 0, 50, 0).dy, -2);
  EXPECT_DOUBLE_EQ(shiftAt(field, 0, 0, 0).dx, 0);  // constant beyond
  EXPECT_DOUBLE_EQ(shiftAt(field, 0, 99, 0).dx, 10);
  TranslationField one = field.meanField();
  EXPECT_DOUBLE_EQ(shiftAt(one, 0, 0, 0).dx, 5);
  EXPECT_DOUBLE_EQ(shiftAt(one, 0, 99, 49).dx, 5);
}

TEST(ImageOps, SimdEqualsScalar) {
  std::mt19937 rng(11);
  for (int32_t w : {1, 7, 16, 33, 100}) {
    for (int32_t h : {1, 5, 20}) {
      std::vector<uint8_t> image(static_cast<size_t>(w) * h);
      for (auto& v : image) v = static_cast<uint8_t>(rng());
      for (int r : {0, 1, 6, 12}) {
        std::vector<uint8_t> a, b;
        dilateMax(image, w, h, r, &a, SimdMode::kScalar);
        dilateMax(image, w, h, r, &b, SimdMode::kAuto);
        EXPECT_EQ(a, b) << w << "x" << h << " r" << r;
      }
      std::vector<uint8_t> other(image.size());
      for (auto& v : other) v = static_cast<uint8_t>(rng());
      int n = static_cast<int>(image.size());
      EXPECT_EQ(sumAbsDiff(image.data(), other.data(), n, SimdMode::kScalar),
                sumAbsDiff(image.data(), other.data(), n, SimdMode::kAuto));
      std::vector<uint8_t> m1 = image, m2 = image;
      maxInPlace(m1.data(), other.data(), n, SimdMode::kScalar);
      maxInPlace(m2.data(), other.data(), n, SimdMode::kAuto);
      EXPECT_EQ(m1, m2);
    }
  }
  // The dilation's definition, checked by brute force at one pixel.
  std::vector<uint8_t> dot(25 * 25, 0), out;
  dot[12 * 25 + 12] = 9;
  dilateMax(dot, 25, 25, 3, &out, SimdMode::kAuto);
  EXPECT_EQ(out[9 * 25 + 9], 9);
  EXPECT_EQ(out[8 * 25 + 12], 0);
}

TEST(ShakeEstimation, SimdEqualsScalar) {
  ShakeScene s = drifting(5, 0.25, 11);
  ShakeResult a = estimateTranslationField(
      s.frames, s.times, s.tables, s.options, nullptr, SimdMode::kScalar);
  ShakeResult b = estimateTranslationField(
      s.frames, s.times, s.tables, s.options, nullptr, SimdMode::kAuto);
  ASSERT_EQ(a.field.shifts.size(), b.field.shifts.size());
  for (size_t i = 0; i < a.field.shifts.size(); ++i) {
    EXPECT_EQ(a.field.shifts[i].dx, b.field.shifts[i].dx);
    EXPECT_EQ(a.field.shifts[i].dy, b.field.shifts[i].dy);
  }
}

}  // namespace
}  // namespace pxo
