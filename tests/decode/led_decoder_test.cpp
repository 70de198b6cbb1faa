#include "decode/led_decoder.h"

#include "sim/decode_scorer.h"
#include "sim/scene_renderer.h"

#include <algorithm>
#include <cmath>

#include <gtest/gtest.h>

namespace pxo {
namespace {

using sim::RenderScene;
using sim::SceneLed;

struct Decoded {
  int32_t count = 0;
  DecodeError why = DecodeError::kNone;
  std::vector<DecodedLed> leds;
  sim::DecodeScore score;
};

Decoded decode(const RenderScene& scene,
               void (*tweak)(DecodeOptions*) = nullptr,
               SimdMode mode = SimdMode::kAuto) {
  ScanPlanPtr plan = sim::simplePlan(static_cast<int32_t>(scene.leds.size()));
  sim::RenderedScan scan = sim::renderScan(scene, *plan);
  if (tweak) tweak(&scan.options);
  Decoded d;
  d.leds.resize(scene.leds.size());
  d.count = decodeLeds(scan.frames,
                       scan.times,
                       scan.tables,
                       scan.options,
                       d.leds,
                       nullptr,
                       &d.why,
                       mode);
  d.leds.resize(static_cast<size_t>(std::max(d.count, 0)));
  std::vector<sim::TruthLed> truth;
  for (const SceneLed& led : scene.leds)
    truth.push_back({led.x, led.y, !led.occluded});
  d.score = sim::scoreDecode(truth, d.leds);
  return d;
}

RenderScene smallScene(int32_t cols, int32_t rows, double spacing) {
  RenderScene scene;
  scene.width = 320;
  scene.height = 240;
  scene.leds = sim::matrixLeds(cols, rows, spacing, scene.width, scene.height);
  return scene;
}

TEST(DecodeLeds, CameraSeesTheFirstByteAsGreen) {
  RenderScene scene = smallScene(10, 6, 24);
  for (SceneLed& led : scene.leds) led.physicalOrder = "GRB";
  Decoded d = decode(scene);
  EXPECT_EQ(d.score.correct, 60) << d.score.summary();
  for (const DecodedLed& led : d.leds)
    if (led.id % 3 == 1) {
      EXPECT_EQ(led.channel, 1) << "ID " << led.id;
    }
}

TEST(DecodeLeds, StringsOfAnyColourOrder) {
  for (const char* order : {"RGB", "BRG", "GBR", "RBG", "BGR"}) {
    RenderScene scene = smallScene(10, 6, 24);
    for (SceneLed& led : scene.leds) led.physicalOrder = order;
    Decoded d = decode(scene);
    EXPECT_EQ(d.score.correct, 60) << order << ": " << d.score.summary();
    EXPECT_EQ(d.score.wrong, 0) << order;
  }
}

TEST(DecodeLeds, BrighterReadingWinsOverAReflection) {
  RenderScene scene = smallScene(6, 3, 60);
  for (SceneLed& led : scene.leds) {
    led.reflectionGain = 0.5;
    led.reflectionDy = 25;
  }
  Decoded d = decode(scene);
  EXPECT_EQ(d.score.correct, 18) << d.score.summary();
  EXPECT_EQ(d.score.wrong, 0);
}

TEST(DecodeLeds, AGlintOffTheLineIsDroppedAndTheLedReRead) {
  // LED 25's reflection is brighter than the LED itself and lies far off
  // the line of its ID neighbours: it wins the duplicate reading, the
  // neighbour check drops it, and the rescue reads LED 25 where its
  // neighbours say it is.
  RenderScene scene = smallScene(10, 6, 24);
  scene.leds[24].reflectionGain = 1.6;
  scene.leds[24].reflectionDx = 7;
  scene.leds[24].reflectionDy = 125;  // beyond 4 × the 24 px spacing
  Decoded d = decode(scene);
  EXPECT_EQ(d.score.correct, 60) << d.score.summary();
  ASSERT_GE(d.count, 25);
  EXPECT_EQ(d.leds[24].id, 25);
  EXPECT_EQ(d.leds[24].estimated, 0);
  EXPECT_EQ(d.leds[24].signal, 0) << "not the rescued reading";
}

// How far a lit LED's spot peaks above the baseline in its own colour, as
// the median over the LEDs of a noise-free rendering of `scene`.
double medianSpotContrast(RenderScene scene) {
  scene.noiseSigma = 0;
  ScanPlanPtr plan = sim::simplePlan(static_cast<int32_t>(scene.leds.size()));
  sim::RenderedScan scan = sim::renderScan(scene, *plan);
  std::vector<double> peaks;
  for (size_t i = 0; i < scene.leds.size(); ++i) {
    const size_t c = i % 3;
    const auto& flood =
        scan.frames[static_cast<size_t>(scan.options.floodFrames[c])].plane[c];
    const auto& base =
        scan.frames[static_cast<size_t>(scan.options.baselineFrame)].plane[c];
    const auto x = static_cast<int32_t>(std::lround(scene.leds[i].x));
    const auto y = static_cast<int32_t>(std::lround(scene.leds[i].y));
    int peak = 0;
    for (int32_t dy = -1; dy <= 1; ++dy)
      for (int32_t dx = -1; dx <= 1; ++dx) {
        const size_t p = static_cast<size_t>(y + dy) * scene.width + (x + dx);
        peak = std::max(peak, int(flood[p]) - int(base[p]));
      }
    peaks.push_back(peak);
  }
  std::nth_element(
      peaks.begin(), peaks.begin() + peaks.size() / 2, peaks.end());
  return peaks[peaks.size() / 2];
}

// A prop whose lit spots peak `sigmas` × the noise above the baseline.
RenderScene dimScene(double noise, double sigmas, uint64_t seed) {
  RenderScene scene = smallScene(12, 8, 22);
  scene.spotPeak = 100;
  scene.spotPeak *= sigmas * noise / medianSpotContrast(scene);
  scene.noiseSigma = noise;
  scene.seed = seed;
  return scene;
}

// Dim LEDs: the thresholds follow the spots down to the noise's floors, so
// LEDs that stand 8 σ and more above the noise decode, and nothing wrong
// gets through at any contrast.
TEST(DecodeLeds, DimLedsAgainstTheNoise) {
  struct Case {
    double noise, sigmas, atLeast;
  };
  for (const Case& k : {Case{2, 12, 0.99},
                        Case{2, 8, 0.95},
                        Case{4, 12, 0.99},
                        Case{4, 8, 0.95},
                        Case{2, 5, 0.0},
                        Case{4, 3, 0.0}})
    for (uint64_t seed : {1u, 2u}) {
      Decoded d = decode(dimScene(k.noise, k.sigmas, seed));
      EXPECT_GE(d.score.correctFraction(), k.atLeast)
          << "σ " << k.noise << ", " << k.sigmas << " σ: " << d.score.summary();
      EXPECT_EQ(d.score.wrong, 0)
          << "σ " << k.noise << ", " << k.sigmas << " σ: " << d.score.summary();
    }
  // With the fixed thresholds alone such a prop is not seen at all.
  Decoded fixed = decode(dimScene(2, 12, 1),
                         [](DecodeOptions* o) { o->adaptiveThresholds = 0; });
  EXPECT_EQ(fixed.score.correct, 0) << fixed.score.summary();
}

// Noise alone, however strong, decodes to nothing.
TEST(DecodeLeds, NoiseAloneDecodesNothing) {
  for (double noise : {1.0, 3.0, 8.0}) {
    RenderScene scene = smallScene(12, 8, 22);
    scene.spotPeak = 0;
    scene.noiseSigma = noise;
    Decoded d = decode(scene);
    EXPECT_EQ(d.count, 0) << "σ " << noise << ": " << d.score.summary();
  }
}

TEST(FrameNoiseSigma, MedianOfTheDifferencesIgnoresLitSpots) {
  for (double noise : {1.0, 2.0, 4.0}) {
    RenderScene scene = smallScene(12, 8, 22);
    scene.noiseSigma = noise;
    ScanPlanPtr plan = sim::simplePlan(96);
    sim::RenderedScan scan = sim::renderScan(scene, *plan);
    const FramePlanes& base =
        scan.frames[static_cast<size_t>(scan.options.baselineFrame)];
    // A flood lights every LED; the spots are a few per cent of the picture.
    const FramePlanes& flood =
        scan.frames[static_cast<size_t>(scan.options.floodFrames[0])];
    for (int32_t c = 0; c < 3; ++c)
      EXPECT_NEAR(frameNoiseSigma(base, flood, c), noise, 0.15 * noise + 0.2)
          << "σ " << noise << ", channel " << c;
  }
  FramePlanes small, large;
  for (auto& p : small.plane) p.assign(4, 0);
  for (auto& p : large.plane) p.assign(9, 0);
  EXPECT_EQ(frameNoiseSigma(small, large, 0), 0);
  EXPECT_EQ(frameNoiseSigma(small, small, 3), 0);
}

// A re-read LED off the line of its ID neighbours (where a string turns) is
// placed on its own spot, not where the neighbours predicted it.
TEST(DecodeLeds, AReReadLedSitsOnItsOwnSpot) {
  RenderScene scene = smallScene(10, 6, 24);
  scene.leds[24].y += 4;
  scene.leds[24].reflectionGain = 1.6;
  scene.leds[24].reflectionDx = 7;
  scene.leds[24].reflectionDy = 125;
  Decoded d = decode(scene);
  ASSERT_GE(d.count, 25);
  ASSERT_EQ(d.leds[24].signal, 0) << "the rescued reading";
  EXPECT_NEAR(d.leds[24].x, scene.leds[24].x, 1.5);
  EXPECT_NEAR(d.leds[24].y, scene.leds[24].y, 1.5);
  EXPECT_EQ(d.score.wrong, 0) << d.score.summary();
}

TEST(DecodeLeds, FewerThanFourLedsSeen) {
  RenderScene scene = smallScene(10, 1, 24);
  for (int32_t i = 0; i < 10; ++i) scene.leds[i].occluded = i < 4 || i > 6;
  Decoded d =
      decode(scene, [](DecodeOptions* o) { o->trimTrailingEstimates = 0; });
  EXPECT_EQ(d.score.correct, 3) << d.score.summary();
  ASSERT_EQ(d.count, 10);
  // Straight extensions of the measured neighbours.
  EXPECT_NEAR(d.leds[0].x, scene.leds[0].x, 1.5);
  EXPECT_NEAR(d.leds[9].x, scene.leds[9].x, 1.5);
}

TEST(DecodeLeds, FillsItsStatistics) {
  RenderScene scene = smallScene(10, 6, 24);
  ScanPlanPtr plan = sim::simplePlan(60);
  sim::RenderedScan scan = sim::renderScan(scene, *plan);
  std::vector<DecodedLed> out(60);
  DecodeStats stats;
  ASSERT_EQ(
      decodeLeds(
          scan.frames, scan.times, scan.tables, scan.options, out, &stats),
      60);
  EXPECT_GE(stats.signalPeakCount, 60);
  int64_t pixels = 0;
  for (int32_t n : stats.signalHistogram) pixels += n;
  EXPECT_EQ(pixels, 3 * scene.width * scene.height);
  EXPECT_EQ(stats.frameTranslations.size(), 2 * scan.frames.size());
  EXPECT_EQ(stats.outlierCount, 0);
  // A still camera; the tiles' fractional shifts differ by the noise of
  // the sparsest tile's few spots.
  EXPECT_LT(stats.maxTileDeviation, 2.0);
}

TEST(DecodeLeds, EstimatesMissingLedsAndTrimsTheTail) {
  RenderScene scene = smallScene(10, 3, 24);
  for (int32_t i : {0, 1, 2}) scene.leds[i].occluded = true;
  for (int32_t i = 20; i < 30; ++i) scene.leds[i].occluded = true;
  Decoded trimmed = decode(scene);
  ASSERT_EQ(trimmed.count, 20);
  EXPECT_EQ(trimmed.leds.back().id, 20);
  for (int32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(trimmed.leds[i].estimated, 1);
    EXPECT_EQ(trimmed.leds[i].channel, 0);
    EXPECT_EQ(trimmed.leds[i].confidence, 0);
    // Extrapolated backwards along 5 → 4 and clamped into the picture.
    EXPECT_GE(trimmed.leds[i].x, 0);
    EXPECT_LE(trimmed.leds[i].x, scene.width - 1);
  }
  EXPECT_NEAR(trimmed.leds[2].x, scene.leds[2].x, 2.0);

  Decoded whole =
      decode(scene, [](DecodeOptions* o) { o->trimTrailingEstimates = 0; });
  ASSERT_EQ(whole.count, 30);
  EXPECT_EQ(whole.leds.back().estimated, 1);
}

TEST(DecodeLeds, ShakeDisabledOnAStillCameraChangesNothing) {
  RenderScene scene = smallScene(10, 6, 24);
  Decoded normal = decode(scene);
  Decoded disabled =
      decode(scene, [](DecodeOptions* o) { o->shakeDisabled = 1; });
  ASSERT_EQ(normal.count, disabled.count);
  for (size_t i = 0; i < normal.leds.size(); ++i) {
    EXPECT_EQ(normal.leds[i].id, disabled.leds[i].id);
    EXPECT_DOUBLE_EQ(normal.leds[i].x, disabled.leds[i].x);
    EXPECT_DOUBLE_EQ(normal.leds[i].y, disabled.leds[i].y);
  }
}

TEST(DecodeLeds, SimdEqualsScalar) {
  RenderScene scene = smallScene(10, 6, 24);
  scene.noiseSigma = 3;
  ScanPlanPtr plan = sim::simplePlan(60);
  scene.motion = sim::steadyDrift(planFrameCount(plan.get()), 4, 2);
  Decoded a = decode(scene, nullptr, SimdMode::kScalar);
  Decoded b = decode(scene, nullptr, SimdMode::kAuto);
  ASSERT_EQ(a.count, b.count);
  for (size_t i = 0; i < a.leds.size(); ++i) {
    EXPECT_EQ(a.leds[i].id, b.leds[i].id);
    EXPECT_EQ(a.leds[i].x, b.leds[i].x);
    EXPECT_EQ(a.leds[i].y, b.leds[i].y);
    EXPECT_EQ(a.leds[i].confidence, b.leds[i].confidence);
  }
}

TEST(DecodeLeds, BadInputSaysWhy) {
  RenderScene scene = smallScene(4, 2, 24);
  Decoded none = decode(scene, [](DecodeOptions* o) { o->baselineFrame = -1; });
  EXPECT_EQ(none.count, -1);
  EXPECT_EQ(none.why, DecodeError::kNoBaseline);
  Decoded noFlood = decode(scene, [](DecodeOptions* o) {
    o->floodFrames = {-1, -1, -1};
  });
  EXPECT_EQ(noFlood.count, -1);
  EXPECT_EQ(noFlood.why, DecodeError::kNoFlood);
  Decoded tooBig = decode(scene, [](DecodeOptions* o) { o->width += 1; });
  EXPECT_EQ(tooBig.count, -1);
  EXPECT_EQ(tooBig.why, DecodeError::kFrameTooSmall);
  // Fields that would index outside the frames or loop without end are
  // refused before any work.
  for (auto tweak : {+[](DecodeOptions* o) { o->tilesX = 0; },
                     +[](DecodeOptions* o) { o->shakeDownsample = 0; },
                     +[](DecodeOptions* o) { o->peakRadius = -1; },
                     +[](DecodeOptions* o) { o->peakThreshold[1] = 300; },
                     +[](DecodeOptions* o) { o->maxPeaks = 0; },
                     +[](DecodeOptions* o) { o->driftPrior = NAN; }}) {
    Decoded bad = decode(scene, tweak);
    EXPECT_EQ(bad.count, -1);
    EXPECT_EQ(bad.why, DecodeError::kInvalidOptions);
  }
  // A dark scene decodes nothing, which is no error.
  for (SceneLed& led : scene.leds) led.occluded = true;
  Decoded dark = decode(scene);
  EXPECT_EQ(dark.count, 0);
  EXPECT_EQ(dark.why, DecodeError::kNone);
}

TEST(DecodeOptionsCheck, NamesTheFirstBadField) {
  DecodeOptions o = defaultDecodeOptions();
  std::string error;
  EXPECT_FALSE(o.check(&error));  // no size yet
  EXPECT_EQ(error, "width out of range");
  o.width = 64;
  o.height = 32;
  o.ledCount = 10;
  o.baselineFrame = 0;
  o.floodFrames = {1, 2, 3};
  EXPECT_TRUE(o.check(&error));
  o.readRadius = 99;
  EXPECT_FALSE(o.check(&error));
  EXPECT_EQ(error, "readRadius out of range");
}

// Frames drawn by hand: one LED at (4, 4) of 9 × 9 frames, 3 bits, one pass
// with parity; each frame's pixel there set to the value given.
struct HandScan {
  std::vector<FramePlanes> frames;
  FrameTables tables;
  explicit HandScan(std::vector<uint8_t> values) {
    for (uint8_t v : values) {
      FramePlanes f;
      for (auto& plane : f.plane) plane.assign(81, 0);
      f.plane[0][4 * 9 + 4] = v;
      frames.push_back(f);
    }
    tables.idBits = 3;
    tables.passes = 1;
    tables.bitFrames = {4, 6, 8};
    tables.bitComplementFrames = {5, 7, 9};
    tables.parityFrames = {10};
    tables.parityComplementFrames = {11};
  }
  CodeReading read() const {
    TranslationField still = TranslationField::zero(12, 9, 9);
    return readLedCode(frames, tables, still, 9, 9, 4, 4, 0, 2);
  }
};

TEST(ReadLedCode, ParityCorrectsTheWeakestBit) {
  // ID 5 is Gray 111; bit 1 reads wrong by 25, the parity (1) is clear.
  HandScan scan({0, 0, 0, 0, 100, 10, 15, 40, 100, 10, 150, 10});
  CodeReading r = scan.read();
  EXPECT_EQ(r.code, 5);
  EXPECT_EQ(r.parityStatus, 2);
  EXPECT_EQ(r.metric, 90 + 25 + 90 + 140);
  EXPECT_EQ(r.bits[1], (std::pair<int32_t, int32_t>{40, 15}));

  // The parity margin below the weakest bit's: nothing is flipped.
  HandScan weak({0, 0, 0, 0, 100, 10, 15, 40, 100, 10, 30, 10});
  r = weak.read();
  EXPECT_EQ(r.code, int32_t(grayToBinary(0b101)));
  EXPECT_EQ(r.parityStatus, 2);

  // Agreeing parity.
  HandScan clean({0, 0, 0, 0, 100, 10, 90, 10, 100, 10, 150, 10});
  r = clean.read();
  EXPECT_EQ(r.code, 5);
  EXPECT_EQ(r.parityStatus, 1);
  EXPECT_EQ(r.smallestMargin(), 80);

  // Without parity frames.
  clean.tables.parityFrames.clear();
  r = clean.read();
  EXPECT_EQ(r.parityStatus, 0);
  EXPECT_EQ(r.metric, 90 + 80 + 90);
}

TEST(GrayToBinary, InvertsTheGrayCode) {
  for (uint32_t id = 0; id < 5000; ++id)
    EXPECT_EQ(grayToBinary(grayCode(id)), id);
}

}  // namespace
}  // namespace pxo

namespace pxo {
namespace {

// A code is an ID only when its frames say so clearly: every bit's frame
// and complement apart by the margin, and a parity that disagrees mended by
// flipping its weakest bit; otherwise the LED is missed, never guessed.
TEST(CodeReadingClarity, WeakBitsAndUnmendedParityAreNoId) {
  CodeReading r;
  r.bits = {{200, 20}, {30, 190}, {180, 25}};
  r.parityStatus = 1;
  EXPECT_TRUE(r.clearAt(100));
  r.bits[1] = {90, 60};  // a bit whose two frames hardly differ
  EXPECT_FALSE(r.clearAt(100));
  // Parity mended that weak bit: the rest are clear.
  r.parityStatus = 2;
  r.parityCorrected = true;
  EXPECT_TRUE(r.clearAt(100));
  // Parity disagreed but was weaker than every bit: nothing was mended.
  r.parityCorrected = false;
  EXPECT_FALSE(r.clearAt(10));
  // Mended, but another bit is weak too.
  r.parityCorrected = true;
  r.bits[2] = {100, 40};
  EXPECT_FALSE(r.clearAt(100));
  // No parity frames: every bit must be clear.
  r.parityStatus = 0;
  r.parityCorrected = false;
  r.bits = {{200, 20}, {30, 190}};
  EXPECT_TRUE(r.clearAt(100));
}

}  // namespace
}  // namespace pxo
