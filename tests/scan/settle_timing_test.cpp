#include "scan/settle_timing.h"

#include "scan/calibration.h"
#include "scan/scan_decode.h"
#include "scan/scan_plan.h"

#include <algorithm>
#include <cmath>
#include <random>

#include <gtest/gtest.h>

namespace pxo {
namespace {

using Means = std::vector<std::array<double, 3>>;

TEST(SettleTiming, GapsAndProbes) {
  std::vector<double> marks;
  for (int i = 0; i < 10; ++i) marks.push_back(0.2 * i);
  EXPECT_NEAR(medianMarkGap(marks), 0.2, 1e-12);
  EXPECT_EQ(medianMarkGap(std::vector<double>{}), 0.2);
  // The mark itself, then 1/30 s steps to 1.1 s.
  const auto offsets = settleProbeOffsets(0.2);
  EXPECT_EQ(offsets.size(), 34u);
  EXPECT_EQ(offsets.front(), 0.0);
  EXPECT_NEAR(offsets.back(), 33 / 30.0, 1e-9);
  EXPECT_EQ(settleProbeOffsets(-1.0).size(), 5u);
}

// Floods whose LEDs take `arrive` probes to start changing and settle one
// probe later (blended in between), in their own colour; the next flood
// (another colour) follows a gap later.
std::vector<Means> floods(const std::vector<double>& offsets, size_t arrive) {
  std::vector<Means> out;
  for (size_t f = 0; f < 3; ++f) {
    Means m(offsets.size(), {20, 20, 20});
    for (size_t j = arrive; j < offsets.size(); ++j) {
      const bool blended = j == arrive;
      const bool gone = j >= arrive + 6;  // the next pattern arrived
      m[j][f] = gone ? 30 : blended ? 100 : 140;
    }
    out.push_back(m);
  }
  return out;
}

TEST(SettleTiming, FindsTheLedsHoweverLateTheyChange) {
  const auto offsets = settleProbeOffsets(0.2);
  // Settled at probe arrive + 1: read 0.4 gaps later.
  for (size_t arrive : {1u, 3u, 9u, 20u}) {
    SettleTiming t;
    const double offset =
        calibrateSettleTiming(floods(offsets, arrive), offsets, 0.2, &t);
    EXPECT_NEAR(t.medianSettleSec, offsets[arrive + 1], 1e-12) << arrive;
    EXPECT_NEAR(offset, offsets[arrive + 1] + 0.08, 1e-12) << arrive;
    EXPECT_EQ(t.arrivalProbeIdx[2], static_cast<int32_t>(arrive));
    EXPECT_EQ(t.plateauProbeIdx[2], static_cast<int32_t>(arrive + 1));
    EXPECT_EQ(t.settledFloods, 3);
    EXPECT_STREQ(settleStatus(t, offset), "calibrated");
  }
}

// A strip wired G, R, B behind a controller set to RGB: the red flood
// lights green, the green flood red, so its LED pixels change colour from
// one flood to the next; a compressed stream sharpens each change over
// three frames (60 %, 80 %, all). Patterns last 6 probes (0.2 s) and show
// `lag` probes after their marks: each flood must be found arriving then
// and settled once sharpened, not when the next flood lights the flood's
// nominal colour, nor when an older pattern shows at the flood's mark.
TEST(SettleTiming, StripsInAnotherColourOrderSlowlySharpenedLateAfterAiming) {
  const auto offsets = settleProbeOffsets(0.2);
  // Before the scan, the baseline, the three floods, the first bits.
  std::array<std::array<double, 3>, 7> pattern = {{{18, 18, 18},
                                                   {25, 25, 25},
                                                   {30, 112, 35},
                                                   {114, 30, 17},
                                                   {20, 26, 116},
                                                   {36, 39, 36},
                                                   {70, 20, 60}}};
  // What the camera shows at probe index `t` counted from the baseline's
  // mark (the baseline is pattern 1, marked at t = 0).
  auto shown = [&](int t, int lag) {
    const int since = t - lag;
    const int p = since < 0 ? 0 : std::min(since / 6 + 1, 6);
    const int into = since < 0 ? 99 : since % 6;
    const auto& to = pattern[size_t(p)];
    const auto& from = pattern[size_t(std::max(p - 1, 0))];
    const double share = into == 0 ? 0.6 : into == 1 ? 0.8 : 1.0;
    std::array<double, 3> v{};
    for (size_t c = 0; c < 3; ++c) v[c] = from[c] + share * (to[c] - from[c]);
    return v;
  };
  // Before the scan the prop is dark (a session's first scan, after the
  // brightness calibration) or shows the aiming picture (a later one).
  for (const std::array<double, 3> before :
       {std::array<double, 3>{18, 18, 18}, std::array<double, 3>{100, 35, 25}})
    for (int lag : {5, 20}) {
      pattern[0] = before;
      std::vector<Means> floods;
      for (int f = 0; f < 3; ++f) {
        Means m;
        for (size_t j = 0; j < offsets.size(); ++j)
          m.push_back(shown(6 * (f + 1) + int(j), lag));
        floods.push_back(m);
      }
      SettleTiming t;
      const double offset = calibrateSettleTiming(floods, offsets, 0.2, &t);
      for (size_t f = 0; f < 3; ++f) {
        EXPECT_EQ(t.arrivalProbeIdx[f], lag)
            << "lag " << lag << " flood " << f << " before " << before[0];
        EXPECT_EQ(t.plateauProbeIdx[f], lag + 2) << "lag " << lag;
      }
      // Between the plateau and the next flood's arrival.
      EXPECT_GE(offset, offsets[size_t(lag + 2)]) << lag;
      EXPECT_LT(offset, offsets[size_t(lag + 6)] - 0.04) << lag;
    }
}

TEST(SettleTiming, Fallbacks) {
  const auto offsets = settleProbeOffsets(0.2);
  // Nothing rises in any flood's colour: the static offset is used.
  std::vector<Means> flat(3, Means(offsets.size(), {20, 20, 20}));
  SettleTiming t;
  EXPECT_EQ(calibrateSettleTiming(flat, offsets, 0.2, &t), -1);
  EXPECT_EQ(t.arrivalProbeIdx[1], -1);
  EXPECT_STREQ(settleStatus(t, kStaticSettleOffset), "static-fallback");
  // Too few probes, or failed ones only.
  EXPECT_EQ(calibrateSettleTiming(
                floods(offsets, 2), std::vector<double>{0.1, 0.2}, 0.2, &t),
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

  // Picking a level from measured spots: the lowest with 95 % of them
  // decodable and at most 10 % saturated; otherwise the most decodable.
  auto measured = [](uint8_t level, int32_t spots, int32_t ok, int32_t sat) {
    LevelMeasurement m;
    m.level = level;
    m.spotCount = spots;
    m.decodableSpots = ok;
    m.detectableSpots = ok;
    m.saturatedSpots = sat;
    return m;
  };
  std::vector<LevelMeasurement> levels = {measured(16, 100, 10, 0),
                                          measured(32, 100, 94, 0),
                                          measured(48, 100, 95, 0),
                                          measured(64, 100, 100, 0)};
  EXPECT_EQ(chooseLevel(levels), 48);
  levels[2].saturatedSpots = 11;
  EXPECT_EQ(chooseLevel(levels), 64);
  // No level is good enough: the one that decodes most wins, the lower on a
  // tie.
  levels = {measured(128, 50, 20, 0),
            measured(200, 50, 35, 0),
            measured(255, 50, 35, 0)};
  EXPECT_EQ(chooseLevel(levels), 200);
  // Dim LEDs that decode at no level: the brightest at which any stands out
  // of the noise.
  levels = {measured(128, 50, 0, 0), measured(255, 50, 0, 0)};
  levels[0].detectableSpots = 40;
  levels[1].detectableSpots = 12;
  EXPECT_EQ(chooseLevel(levels), 255);
  // Nothing that stands out, or nothing lit at all: the default stays.
  levels = {measured(255, 50, 0, 0)};
  EXPECT_EQ(chooseLevel(levels), -1);
  levels = {measured(255, 0, 0, 0)};
  EXPECT_EQ(chooseLevel(levels), -1);

  std::vector<int64_t> histogram(256, 0);
  EXPECT_EQ(histogramPercentile(histogram, 0.5), 0);
  histogram[7] = 3;
  histogram[200] = 1;
  EXPECT_EQ(histogramPercentile(histogram, 0.75), 7);
  EXPECT_EQ(histogramPercentile(histogram, 1.0), 200);
}

// LEDs as small spots on a picture that their spilled light lifts as a
// whole: the spots are found, each in its own colour, and judged against
// their surroundings, not against the dark picture.
TEST(BrightnessCalibration, SpotsAreTheLedsNotTheSpilledLight) {
  constexpr int32_t w = 80, h = 40;
  const size_t pixels = static_cast<size_t>(w) * h;
  FramePlanes dark = uniform(pixels, 20, 20, 20);
  auto litFrame = [&](int peak, int glow) {
    FramePlanes f = uniform(pixels, 20 + glow, 20 + glow, 20 + glow);
    const int spots[3][3] = {{10, 10, 0}, {40, 20, 1}, {70, 30, 2}};
    for (const auto& s : spots)
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
          const int v = 20 + glow + (dx || dy ? peak / 3 : peak);
          f.plane[s[2]][static_cast<size_t>((s[1] + dy) * w + s[0] + dx)] =
              static_cast<uint8_t>(std::min(v, 255));
        }
    return f;
  };
  // Noise 20 in red and green (decodable from 1.5 × 80, visible from 5 σ =
  // 26), 10 in blue (decodable from 1.5 × 40, visible from 13).
  CameraNoise noise;
  noise.noiseR = noise.noiseG = noise.noiseMax = 20;
  noise.noiseB = 10;
  const std::vector<LitSpot> spots =
      findLitSpots(litFrame(200, 40), dark, w, h, noise);
  ASSERT_EQ(spots.size(), 3u);
  std::vector<std::array<int32_t, 3>> found;
  for (const LitSpot& s : spots) found.push_back({s.x, s.y, s.channel});
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found,
            (std::vector<std::array<int32_t, 3>>{
                {10, 10, 0}, {40, 20, 1}, {70, 30, 2}}));
  LevelMeasurement m =
      measureLevel(litFrame(100, 40), dark, w, h, 64, noise, spots);
  EXPECT_EQ(m.spotCount, 3);
  EXPECT_EQ(m.decodableSpots, 1);  // only the blue one clears 60
  EXPECT_EQ(m.detectableSpots, 3);
  m = measureLevel(litFrame(20, 40), dark, w, h, 16, noise, spots);
  EXPECT_EQ(m.detectableSpots, 1);  // only blue stands out of its noise
  m = measureLevel(litFrame(130, 40), dark, w, h, 96, noise, spots);
  EXPECT_EQ(m.decodableSpots, 3);
  EXPECT_EQ(m.saturatedSpots, 0);
  m = measureLevel(litFrame(240, 40), dark, w, h, 255, noise, spots);
  EXPECT_EQ(m.saturatedSpots, 3);
  // Spilled light alone lights no spot.
  EXPECT_TRUE(findLitSpots(litFrame(0, 60), dark, w, h, noise).empty());
}

// A clipped core is one spot at its centre, not a spot per noisy pixel of
// its plateau; an LED clipped white in every channel keeps the colour its
// unclipped rim shows.
TEST(BrightnessCalibration, AClippedCoreIsOneSpotAtItsCentre) {
  constexpr int32_t w = 60, h = 40;
  const size_t pixels = static_cast<size_t>(w) * h;
  FramePlanes dark = uniform(pixels, 20, 20, 20);
  // The dark picture's noise makes the plateau's rise uneven.
  for (size_t p = 0; p < pixels; ++p)
    for (auto& plane : dark.plane) plane[p] = static_cast<uint8_t>(18 + p % 5);
  FramePlanes lit = dark;
  auto disc = [&](int cx, int cy, int channel, bool white) {
    for (int y = cy - 6; y <= cy + 6; ++y)
      for (int x = cx - 6; x <= cx + 6; ++x) {
        const double r = std::hypot(x - cx, y - cy);
        const size_t p = static_cast<size_t>(y * w + x);
        for (int c = 0; c < 3; ++c) {
          const bool own = c == channel;
          if (!own && !white) continue;
          // The core clips; the rim falls off, less in the others.
          const double v = r <= 3.2 ? 255 : (own ? 300 : 120) / (r - 2);
          lit.plane[c][p] = static_cast<uint8_t>(
              std::min(255.0, std::max<double>(lit.plane[c][p], v)));
        }
      }
  };
  disc(15, 20, 1, false);
  disc(42, 19, 2, true);
  CameraNoise noise;
  noise.noiseR = noise.noiseG = noise.noiseB = noise.noiseMax = 4;
  const std::vector<LitSpot> spots = findLitSpots(lit, dark, w, h, noise);
  std::vector<std::array<int32_t, 3>> found;
  for (const LitSpot& s : spots) found.push_back({s.x, s.y, s.channel});
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found,
            (std::vector<std::array<int32_t, 3>>{{15, 20, 1}, {42, 19, 2}}));
  // Clipped there at the level measured.
  LevelMeasurement m = measureLevel(lit, dark, w, h, 16, noise, spots);
  EXPECT_EQ(m.saturatedSpots, 2);
}

// LEDs that clip wherever they show call for a dimmer camera or lower
// levels; a level at which they do not, or at which they show nothing,
// does not count against them.
TEST(BrightnessCalibration, LedsThatClipAtEveryLevel) {
  auto measured = [](uint8_t level, int32_t detectable, int32_t saturated) {
    LevelMeasurement m;
    m.level = level;
    m.spotCount = 100;
    m.detectableSpots = detectable;
    m.decodableSpots = detectable;
    m.saturatedSpots = saturated;
    return m;
  };
  std::vector<LevelMeasurement> levels = {
      measured(16, 100, 60), measured(32, 100, 100), measured(255, 100, 100)};
  EXPECT_TRUE(ledsClipAtEveryLevel(levels));
  EXPECT_EQ(chooseLevel(levels), -1);
  levels.insert(levels.begin(), measured(2, 0, 0));  // dark at the level
  EXPECT_TRUE(ledsClipAtEveryLevel(levels));
  levels[0] = measured(2, 100, 5);
  EXPECT_FALSE(ledsClipAtEveryLevel(levels));
  EXPECT_EQ(chooseLevel(levels), 2);
  EXPECT_FALSE(ledsClipAtEveryLevel({}));
}

// The baseline is dim beside the codes at any level: 13, or an eighth of a
// low level.
// The calibration's dark end, watched as it is recorded: dark once the
// pixels the brightest level lit are back at the first dwell's dark
// picture in three frames running, however late the camera shows it; LEDs
// that never go out (or a camera that froze on them) are never dark.
TEST(BrightnessCalibration, TheDarkEndIsSeenAsItIsRecorded) {
  auto frame = [](uint8_t background, uint8_t spot) {
    pxowin::BgraFrame f;
    f.width = 64;
    f.height = 36;
    f.stride = 256;
    f.pixels.assign(256u * 36, background);
    for (int32_t y = 10; y < 14; ++y)
      for (int32_t x = 20; x < 24; ++x)
        for (int c = 0; c < 3; ++c)
          f.pixels[static_cast<size_t>(y) * 256 + 4 * x + c] = spot;
    return f;
  };
  for (double lag : {0.0, 0.2, 0.6}) {
    for (bool goesDark : {true, false}) {
      auto kept = std::make_shared<pxowin::RecordedFrames>(
          1024, size_t{16} << 20, 0.033);
      DarkEndWatch watch(kept, 2);
      // Marks: the dark dwell at 0, the levels from 0.7, the end at 1.75.
      const double end = 1.75;
      for (int i = 0; i < 110; ++i) {
        const double t = i / 30.0;
        if (i == 0) kept->addMark(0);
        if (i == 21) kept->addMark(0.7);
        if (i == 53) kept->addMark(end);
        const bool lit = t >= 0.7 + lag && (goesDark ? t < end + lag : true);
        // The first dwell still shows the aiming picture, half as bright.
        const uint8_t spot = lit ? 220 : (t < 0.3 ? 110 : 12);
        kept->add(frame(10, spot), t);
      }
      kept->finish();
      if (goesDark) {
        // The third dark frame after the change.
        const double firstDark = std::ceil((end + lag) * 30 - 1e-9) / 30;
        EXPECT_NEAR(watch.darkTime(), firstDark + 2 / 30.0, 1e-6) << lag;
      } else {
        EXPECT_LT(watch.darkTime(), 0) << lag;
      }
    }
  }
}

TEST(ScanPlanBaseline, NeverAsBrightAsTheCodes) {
  EXPECT_EQ(baselineLevel(255), 13);
  EXPECT_EQ(baselineLevel(104), 13);
  EXPECT_EQ(baselineLevel(96), 12);
  EXPECT_EQ(baselineLevel(16), 2);
  EXPECT_EQ(baselineLevel(4), 0);
}

// IDs read from the right frames put a string's neighbours next to each
// other; IDs read from the wrong ones scatter them over the prop.
TEST(IdsHoldTogether, NeighboursInIdOrderLieClose) {
  std::vector<DecodedLed> leds;
  for (int32_t i = 0; i < 100; ++i) {
    DecodedLed led;
    led.id = i + 1;
    const int32_t row = i / 10, col = row % 2 ? 9 - i % 10 : i % 10;
    led.x = 100 + 30 * col;
    led.y = 100 + 30 * row;
    leds.push_back(led);
  }
  EXPECT_TRUE(idsHoldTogether(leds));
  // Estimated records do not count, nor pairs with a gap between them.
  std::vector<DecodedLed> scattered = leds;
  std::mt19937 rng(3);
  for (size_t i = scattered.size() - 1; i > 0; --i) {
    const auto j = static_cast<size_t>(rng() % (i + 1));
    std::swap(scattered[i].x, scattered[j].x);
    std::swap(scattered[i].y, scattered[j].y);
  }
  EXPECT_FALSE(idsHoldTogether(scattered));
  for (DecodedLed& led : scattered) led.estimated = led.id % 2;
  EXPECT_TRUE(idsHoldTogether(scattered));  // no neighbouring pair left
  // Too few pairs to judge.
  EXPECT_TRUE(idsHoldTogether(std::span(scattered).first(0)));
  std::vector<DecodedLed> few(scattered.begin(), scattered.begin() + 6);
  for (DecodedLed& led : few) led.estimated = 0;
  EXPECT_TRUE(idsHoldTogether(few));
}

}  // namespace
}  // namespace pxo
