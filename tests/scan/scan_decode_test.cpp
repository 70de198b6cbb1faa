// The decode tail's guard against frames read at the wrong moments: the
// floods must show the LEDs in the colours their codes were read in.

#include "scan/scan_decode.h"

#include "decode/led_decoder.h"

#include "sim/scene_renderer.h"

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

TEST(FloodsAgree, FramesReadOnePatternLateAreCaught) {
  sim::RenderScene scene;
  scene.width = 320;
  scene.height = 240;
  scene.leds = sim::matrixLeds(12, 8, 20, scene.width, scene.height);
  scene.noiseSigma = 2;
  ScanPlanPtr plan = sim::simplePlan(96);
  sim::RenderedScan scan = sim::renderScan(scene, *plan);
  bindOptions(&scan);
  Decoded right = decodeFrames(scan, 96);
  EXPECT_EQ(right.leds.size(), 96u);
  EXPECT_TRUE(right.floodsAgree);

  // Every frame shows the pattern before its own, as when the LEDs or the
  // camera lag by more than the settle timing allowed for.
  for (size_t i = scan.frames.size() - 1; i > 0; --i)
    scan.frames[i] = scan.frames[i - 1];
  Decoded late = decodeFrames(scan, 96);
  EXPECT_FALSE(late.floodsAgree)
      << late.leds.size() << " LEDs decoded from shifted frames";
}

TEST(FloodsAgree, TooFewLedsSayNothing) {
  sim::RenderScene scene;
  scene.width = 64;
  scene.height = 48;
  scene.leds = sim::matrixLeds(2, 1, 20, scene.width, scene.height);
  ScanPlanPtr plan = sim::simplePlan(2);
  sim::RenderedScan scan = sim::renderScan(scene, *plan);
  bindOptions(&scan);
  for (auto& plane : scan.frames[1].plane) plane.assign(plane.size(), 0);
  for (auto& plane : scan.frames[2].plane) plane.assign(plane.size(), 0);
  for (auto& plane : scan.frames[3].plane) plane.assign(plane.size(), 0);
  EXPECT_TRUE(decodeFrames(scan, 2).floodsAgree);
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
