// Scored scenes: the decoder on synthetic scans at 1024 × 576 with two
// passes, against the ground truth. Thresholds sit a little under what the
// decoder measured (see the numbers in the test names' comments).

#include <chrono>
#include <cstdio>

#include <gtest/gtest.h>

#include "decode/led_decoder.h"
#include "sim/decode_scorer.h"
#include "sim/scene_renderer.h"

namespace pxo::sim {
namespace {

struct Outcome {
  DecodeScore score;
  std::vector<DecodedLed> leds;
  DecodeStats stats;
};

Outcome decodeScene(const RenderScene& scene) {
  ScanPlanPtr plan = simplePlan(static_cast<int32_t>(scene.leds.size()));
  RenderedScan scan = renderScan(scene, *plan);
  Outcome out;
  out.leds.resize(scene.leds.size());
  auto start = std::chrono::steady_clock::now();
  int32_t n = decodeLeds(scan.frames, scan.times, scan.tables, scan.options, out.leds,
                         &out.stats);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(n, 0);
  out.leds.resize(static_cast<size_t>(std::max(n, 0)));
  std::vector<TruthLed> truth;
  for (const SceneLed& led : scene.leds) truth.push_back({led.x, led.y, !led.occluded});
  out.score = scoreDecode(truth, out.leds);
  std::printf("[ score    ] %s (%.2f s)\n", out.score.summary().c_str(), seconds);
  return out;
}

TEST(DecodeAccuracy, CleanMatrix) {
  RenderScene scene;
  scene.leds = matrixLeds(25, 20, 24, scene.width, scene.height);
  Outcome o = decodeScene(scene);
  EXPECT_EQ(o.score.correct, 500);
  EXPECT_EQ(o.score.wrong, 0);
}

TEST(DecodeAccuracy, NoiseAndSteadyDrift) {
  RenderScene scene;
  scene.leds = matrixLeds(25, 20, 24, scene.width, scene.height);
  scene.noiseSigma = 4;
  ScanPlanPtr plan = simplePlan(500);
  scene.motion = steadyDrift(planFrameCount(plan.get()), 3, 1.5);
  Outcome o = decodeScene(scene);
  EXPECT_GE(o.score.correctFraction(), 0.99);
  EXPECT_LE(o.score.wrongFraction(), 0.002);
}

TEST(DecodeAccuracy, DenseString) {
  RenderScene scene;
  scene.leds = serpentineLeds(1000, 3, 14, scene.width, scene.height);
  scene.spotSigma = 1.0;
  Outcome o = decodeScene(scene);
  EXPECT_GE(o.score.correctFraction(), 0.97);
}

TEST(DecodeAccuracy, OccludedLedsAreEstimated) {
  RenderScene scene;
  scene.leds = matrixLeds(25, 20, 24, scene.width, scene.height);
  for (size_t i = 3; i < scene.leds.size(); i += 10) scene.leds[i].occluded = true;
  Outcome o = decodeScene(scene);
  EXPECT_EQ(o.score.wrong, 0);
  EXPECT_EQ(o.score.estimated, 50);
  EXPECT_LE(o.score.meanEstimatedErrorPx, 2 * 24.0);
}

}  // namespace
}  // namespace pxo::sim
