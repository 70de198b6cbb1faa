// The decode tail's guard against frames read at the wrong moments: the
// floods must show the LEDs in the colours their codes were read in.

#include "scan/scan_decode.h"

#include "decode/led_decoder.h"

#include "sim/decode_scorer.h"
#include "sim/scene_renderer.h"

#include <algorithm>
#include <cmath>

#include <gtest/gtest.h>

namespace pxo {
namespace {

struct Decoded {
  std::vector<DecodedLed> leds;
  bool floodsAgree = false;
};

Decoded decodeFrames(sim::RenderedScan& scan, size_t ledCount) {
  Decoded d;
  d.leds.resize(ledCount);
  const int32_t count =
      decodeLeds(scan.frames, scan.times, scan.tables, scan.options, d.leds);
  d.leds.resize(static_cast<size_t>(std::max(count, 0)));
  d.floodsAgree = floodsAgree(scan.frames, scan.options, d.leds);
  return d;
}

int32_t measuredCount(const std::vector<DecodedLed>& leds) {
  return static_cast<int32_t>(
      std::count_if(leds.begin(), leds.end(), [](const DecodedLed& led) {
        return !led.estimated;
      }));
}

// 96 LEDs in a 12 × 8 matrix, 20 px apart, in a 320 × 240 picture.
sim::RenderScene matrixScene(double noise, double spotPeak = 230) {
  sim::RenderScene scene;
  scene.width = 320;
  scene.height = 240;
  scene.leds = sim::matrixLeds(12, 8, 20, scene.width, scene.height);
  scene.noiseSigma = noise;
  scene.spotPeak = spotPeak;
  return scene;
}

// Call bindOptions on the result where it stays.
sim::RenderedScan renderMatrix(const sim::RenderScene& scene) {
  ScanPlanPtr plan = sim::simplePlan(96);
  return sim::renderScan(scene, *plan);
}

TEST(FloodsAgree, FramesReadOnePatternLateAreCaught) {
  sim::RenderedScan scan = renderMatrix(matrixScene(2));
  bindOptions(&scan);
  Decoded right = decodeFrames(scan, 96);
  EXPECT_EQ(right.leds.size(), 96u);
  EXPECT_TRUE(right.floodsAgree);

  // Every frame shows the pattern before its own, as when the LEDs or the
  // camera lag by more than the settle timing allowed for. The decoder
  // takes no ID whose frames contradict it; and the LEDs where they really
  // are disagree with such floods.
  for (size_t i = scan.frames.size() - 1; i > 0; --i)
    scan.frames[i] = scan.frames[i - 1];
  Decoded late = decodeFrames(scan, 96);
  EXPECT_TRUE(measuredCount(late.leds) == 0 || !late.floodsAgree)
      << measuredCount(late.leds) << " LEDs read from shifted frames";
  EXPECT_FALSE(floodsAgree(scan.frames, scan.options, right.leds));
}

// Every frame shows the pattern after its own, as when the settle offset
// was measured a whole pattern too long: the baseline shows the red flood
// and the blue flood shows the first code pattern.
TEST(FloodsAgree, FramesShowingTheNextPatternAreCaught) {
  sim::RenderedScan scan = renderMatrix(matrixScene(2));
  bindOptions(&scan);
  const Decoded right = decodeFrames(scan, 96);
  ASSERT_EQ(measuredCount(right.leds), 96);
  for (size_t i = 0; i + 1 < scan.frames.size(); ++i)
    scan.frames[i] = scan.frames[i + 1];
  Decoded ahead = decodeFrames(scan, 96);
  std::vector<sim::TruthLed> truth;
  for (const sim::SceneLed& led : matrixScene(2).leds)
    truth.push_back({led.x, led.y, true});
  EXPECT_TRUE(measuredCount(ahead.leds) == 0 || !ahead.floodsAgree)
      << sim::scoreDecode(truth, ahead.leds).summary();
  EXPECT_FALSE(floodsAgree(scan.frames, scan.options, right.leds));
}

// With too few LEDs to outvote a stray reading, every one must light all
// three floods; re-read LEDs (no signal of their own) are not counted.
TEST(FloodsAgree, AFewLedsMustEachLightEveryFlood) {
  const sim::RenderScene scene = matrixScene(0);
  sim::RenderedScan scan = renderMatrix(scene);
  bindOptions(&scan);
  Decoded all = decodeFrames(scan, 96);
  ASSERT_EQ(all.leds.size(), 96u);
  std::vector<DecodedLed> few(all.leds.begin(), all.leds.begin() + 3);
  EXPECT_TRUE(floodsAgree(scan.frames, scan.options, few));
  // One of the three stays dark in the green flood.
  const size_t green = static_cast<size_t>(scan.options.floodFrames[1]);
  const size_t base = static_cast<size_t>(scan.options.baselineFrame);
  const auto x = static_cast<int32_t>(std::lround(few[1].x));
  const auto y = static_cast<int32_t>(std::lround(few[1].y));
  for (int32_t dy = -3; dy <= 3; ++dy)
    for (int32_t dx = -3; dx <= 3; ++dx)
      for (size_t c = 0; c < 3; ++c) {
        const size_t p = static_cast<size_t>(y + dy) * scene.width + (x + dx);
        scan.frames[green].plane[c][p] = scan.frames[base].plane[c][p];
      }
  EXPECT_FALSE(floodsAgree(scan.frames, scan.options, few));
  few[1].signal = 0;  // re-read: not counted
  EXPECT_TRUE(floodsAgree(scan.frames, scan.options, few));
}

// Dim LEDs read one pattern late: their floods show no more than noise.
TEST(FloodsAgree, DimLedsReadLateAreCaught) {
  sim::RenderedScan scan = renderMatrix(matrixScene(2, 24));
  bindOptions(&scan);
  Decoded right = decodeFrames(scan, 96);
  EXPECT_GE(right.leds.size(), 90u);
  EXPECT_TRUE(right.floodsAgree);
  for (size_t i = scan.frames.size() - 1; i > 0; --i)
    scan.frames[i] = scan.frames[i - 1];
  EXPECT_FALSE(floodsAgree(scan.frames, scan.options, right.leds));
}

pxowin::BgraFrame toBgra(const FramePlanes& planes, int32_t w, int32_t h) {
  pxowin::BgraFrame f;
  f.width = w;
  f.height = h;
  f.stride = 4 * w;
  f.pixels.assign(static_cast<size_t>(f.stride) * h, 255);
  for (size_t p = 0; p < static_cast<size_t>(w) * h; ++p)
    for (size_t c = 0; c < 3; ++c) f.pixels[4 * p + 2 - c] = planes.plane[c][p];
  return f;
}

// A camera that drops frames: the frame read for a pattern whose frames
// were dropped is the next pattern's, recorded later than wanted.
struct DroppingCamera {
  sim::RenderedScan scan;
  int32_t width = 0, height = 0;
  std::vector<int32_t> dropped;
  bool honestTimes = true;   // false: claims the wanted time
  double lag = 0;            // the patterns show this long after their marks
  double frameInterval = 0;  // > 0: frames only every this many seconds

  bool read(double time, int32_t, pxowin::BgraFrame* out) const {
    // The first frame whose time + 1/30 s reaches the time wanted, as a
    // recording is read.
    if (frameInterval > 0)
      time =
          std::ceil((time - 1 / 30.0) / frameInterval - 1e-9) * frameInterval;
    auto k = std::max(static_cast<int32_t>(std::floor((time - lag) / kGap)), 0);
    const bool gone =
        std::find(dropped.begin(), dropped.end(), k) != dropped.end();
    const int32_t shown = std::min(
        k + (gone ? 1 : 0), static_cast<int32_t>(scan.frames.size()) - 1);
    *out = toBgra(scan.frames[static_cast<size_t>(shown)], width, height);
    out->timestamp = gone && honestTimes ? (k + 1) * kGap + 0.01 : time;
    return true;
  }
  static constexpr double kGap = 0.2;
};

struct DropOutcome {
  bool ok = false;
  std::string error;
  std::vector<std::string> progress;
  sim::DecodeScore score;
  size_t patterns = 0;
};

DropOutcome scanWithDrops(std::vector<int32_t> dropped,
                          bool honestTimes,
                          bool twoReaders = false,
                          double settleOffset = 0.1,
                          double lag = 0,
                          double frameInterval = 0) {
  const sim::RenderScene scene = matrixScene(2);
  ScanPlanPtr plan(buildScanPlan(
      std::span<const PortGroup>(std::vector<PortGroup>{{0, 96, 3}}),
      96,
      kScanPasses,
      true));
  DroppingCamera camera{sim::renderScan(scene, *plan),
                        scene.width,
                        scene.height,
                        dropped,
                        honestTimes,
                        lag,
                        frameInterval};
  std::vector<double> marks;
  for (size_t i = 0; i < camera.scan.frames.size(); ++i)
    marks.push_back(static_cast<double>(i) * DroppingCamera::kGap);
  ScanDecodeInput input;
  input.plan = plan.get();
  input.markTimes = marks;
  input.settleOffset = settleOffset;
  input.ledCount = 96;
  if (twoReaders)
    input.secondReader = [&](double t, int32_t m, pxowin::BgraFrame* f) {
      return camera.read(t, m, f);
    };
  DropOutcome o;
  o.patterns = marks.size();
  ScanDecodeResult result;
  o.ok = decodeScan(
      [&](double t, int32_t m, pxowin::BgraFrame* f) {
        return camera.read(t, m, f);
      },
      input,
      [&](const std::string& m) { o.progress.push_back(m); },
      &result,
      &o.error);
  std::vector<sim::TruthLed> truth;
  for (const sim::SceneLed& led : scene.leds)
    truth.push_back({led.x, led.y, true});
  std::vector<DecodedLed> observed;
  for (const DecodedLed& led : result.leds)
    if (!led.estimated) observed.push_back(led);
  o.score = sim::scoreDecode(truth, observed);
  return o;
}

// Patterns whose frames the camera dropped are left out, not read from the
// frame after them: their bits come from the other pass or the parity.
TEST(DecodeScan, PatternsTheCameraDroppedAreLeftOut) {
  // A stretch of five patterns, as when a busy machine stalls the camera.
  const std::vector<int32_t> dropped = {20, 21, 22, 23, 24};
  DropOutcome left = scanWithDrops(dropped, true);
  ASSERT_TRUE(left.ok) << left.error;
  EXPECT_EQ(left.score.wrong, 0) << left.score.summary();
  EXPECT_GE(left.score.correct, 90) << left.score.summary();
  EXPECT_NE(std::find(left.progress.begin(),
                      left.progress.end(),
                      "The camera dropped frames: 5 of " +
                          std::to_string(left.patterns) +
                          " patterns were not seen; their bits are read from "
                          "the rest"),
            left.progress.end());

  // Read by two readers at once, the later half by the second: the same
  // result, and the progress still counts up in order.
  DropOutcome shared = scanWithDrops(dropped, true, true);
  ASSERT_TRUE(shared.ok) << shared.error;
  EXPECT_EQ(shared.score.summary(), left.score.summary());
  std::vector<std::string> counted;
  for (const std::string& line : shared.progress)
    if (line.rfind("Extracting scan frames", 0) == 0) counted.push_back(line);
  ASSERT_EQ(counted.size(), shared.patterns);
  for (size_t i = 0; i < counted.size(); ++i)
    EXPECT_EQ(counted[i],
              "Extracting scan frames\xE2\x80\xA6 " + std::to_string(i + 1) +
                  "/" + std::to_string(shared.patterns));

  // Read as if they were there, the same frames give no LED its right
  // place (wrong IDs, or none the decoder would take).
  DropOutcome trusted = scanWithDrops(dropped, false);
  EXPECT_TRUE(!trusted.ok || trusted.score.wrong > 0 ||
              trusted.score.correct < left.score.correct / 2)
      << trusted.score.summary();

  // The baseline, a flood, or too many: no decode at all.
  for (const std::vector<int32_t>& gone :
       {std::vector<int32_t>{0},
        std::vector<int32_t>{2},
        std::vector<int32_t>{5, 7, 9, 11, 13, 15, 17, 19, 21}}) {
    DropOutcome failed = scanWithDrops(gone, true);
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.error, kCameraDroppedFrames);
  }
}

// A settle offset measured a whole pattern long reads every frame a pattern
// late; the floods contradict the codes, so the frames are read a pattern
// either side, and only the reading whose floods agree is taken.
TEST(DecodeScan, ASettleOffsetAPatternOffIsReadAgainAtTheRightOne) {
  const std::string retried =
      "The settle timing was a pattern off: the frames were read 100 ms "
      "after their marks";
  DropOutcome late = scanWithDrops({}, true, false, 0.1 + DroppingCamera::kGap);
  ASSERT_TRUE(late.ok) << late.error;
  EXPECT_EQ(late.score.wrong, 0) << late.score.summary();
  EXPECT_GE(late.score.correct, 90) << late.score.summary();
  EXPECT_NE(std::find(late.progress.begin(), late.progress.end(), retried),
            late.progress.end());
  // At the right offset nothing is read twice.
  DropOutcome right = scanWithDrops({}, true);
  ASSERT_TRUE(right.ok) << right.error;
  EXPECT_EQ(std::find(right.progress.begin(), right.progress.end(), retried),
            right.progress.end());
  // Two patterns off: no reading agrees, and the scan fails on its timing
  // instead of giving IDs.
  DropOutcome far =
      scanWithDrops({}, true, false, 0.1 + 2 * DroppingCamera::kGap);
  EXPECT_FALSE(far.ok);
  EXPECT_EQ(far.error, kScanTimingFailed);
  EXPECT_EQ(far.score.wrong, 0);
  // A pattern early where a pattern earlier still would be before the mark
  // (patterns show a gap after their marks, read 120 ms after them): the
  // reading a pattern later is still tried.
  DropOutcome early =
      scanWithDrops({}, true, false, 0.12, DroppingCamera::kGap);
  ASSERT_TRUE(early.ok) << early.error;
  EXPECT_EQ(early.score.wrong, 0) << early.score.summary();
  EXPECT_GE(early.score.correct, 90) << early.score.summary();
  EXPECT_NE(std::find(early.progress.begin(),
                      early.progress.end(),
                      "The settle timing was a pattern off: the frames were "
                      "read 320 ms after their marks"),
            early.progress.end());
}

// A camera that sends too few frames (a busy machine, a camera that cannot
// keep up at its resolution) shows some patterns in no frame and others
// only beside their neighbours: the scan says so instead of reading IDs
// from such frames. 15 fps, a camera slowed by a long exposure, is read.
TEST(DecodeScan, ACameraTooSlowForThePatternsFailsWithoutIds) {
  for (double fps : {6.0, 10.0}) {
    DropOutcome slow = scanWithDrops({}, true, false, 0.1, 0, 1 / fps);
    EXPECT_FALSE(slow.ok) << fps;
    EXPECT_EQ(slow.error, cameraTooSlowMessage(fps)) << fps;
    EXPECT_EQ(slow.score.wrong, 0) << fps;
  }
  EXPECT_EQ(cameraTooSlowMessage(6).rfind(kCameraTooSlow, 0), 0u);
  DropOutcome slowed = scanWithDrops({}, true, false, 0.1, 0, 1 / 15.0);
  ASSERT_TRUE(slowed.ok) << slowed.error;
  EXPECT_EQ(slowed.score.wrong, 0) << slowed.score.summary();
  EXPECT_GE(slowed.score.correct, 90) << slowed.score.summary();
}

TEST(AnsweredColourOrder, NamesTheStripAsTheControllerNamesItsPort) {
  // Sent red shows green and green shows red: a GRB strip told RGB.
  EXPECT_EQ(answeredColourOrder("RGB", 2), "GRB");
  EXPECT_EQ(answeredColourOrder("RGB", 0), "RGB");
  EXPECT_EQ(answeredColourOrder("RGBW", 5), "BGRW");
  EXPECT_EQ(answeredColourOrder("BRG", 1), "GRB");
  EXPECT_EQ(answeredColourOrder("RGB", 9), "RGB");
}

}  // namespace
}  // namespace pxo
