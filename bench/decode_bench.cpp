// The decoder on 1024 × 576 frames of a two-pass plan, against a floor that
// only reads every byte of the same frames once; and the grid snap.

#include "decode/grid_snap.h"
#include "decode/led_decoder.h"

#include "sim/scene_renderer.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <numeric>

#include <benchmark/benchmark.h>

namespace pxo {
namespace {

const sim::RenderedScan& scanOf(int32_t leds) {
  static std::map<int32_t, std::unique_ptr<sim::RenderedScan>> cache;
  auto& slot = cache[leds];
  if (!slot) {
    sim::RenderScene scene;
    int32_t cols = static_cast<int32_t>(std::ceil(std::sqrt(leds * 16.0 / 9)));
    int32_t rows = (leds + cols - 1) / cols;
    double spacing = std::min(960.0 / cols, 540.0 / rows);
    scene.leds =
        sim::matrixLeds(cols, rows, spacing, scene.width, scene.height);
    scene.leds.resize(static_cast<size_t>(leds));
    scene.noiseSigma = 3;
    ScanPlanPtr plan = sim::simplePlan(leds);
    scene.motion = sim::steadyDrift(planFrameCount(plan.get()), 3, 1);
    slot = std::make_unique<sim::RenderedScan>(sim::renderScan(scene, *plan));
    sim::bindOptions(slot.get());
  }
  return *slot;
}

void BM_DecodeLeds(benchmark::State& state) {
  const sim::RenderedScan& scan = scanOf(static_cast<int32_t>(state.range(0)));
  std::vector<DecodedLed> out(static_cast<size_t>(state.range(0)));
  int32_t decoded = 0;
  for (auto _ : state) {
    decoded =
        decodeLeds(scan.frames, scan.times, scan.tables, scan.options, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["frames"] = static_cast<double>(scan.frames.size());
  state.counters["decoded"] = decoded;
  // Of those, read from the frames rather than estimated.
  state.counters["measured"] = static_cast<double>(
      std::count_if(out.begin(),
                    out.begin() + std::max(decoded, 0),
                    [](const DecodedLed& led) { return !led.estimated; }));
}
BENCHMARK(BM_DecodeLeds)
    ->Arg(500)
    ->Arg(2000)
    ->Arg(5000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Reading every byte of the input once: the least any decoder must spend.
void BM_ReadFramesFloor(benchmark::State& state) {
  const sim::RenderedScan& scan = scanOf(static_cast<int32_t>(state.range(0)));
  for (auto _ : state) {
    uint64_t sum = 0;
    for (const FramePlanes& frame : scan.frames)
      for (const auto& plane : frame.plane)
        sum = std::accumulate(plane.begin(), plane.end(), sum);
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(BM_ReadFramesFloor)
    ->Arg(500)
    ->Arg(2000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_SnapToGrid(benchmark::State& state) {
  std::vector<GridPoint> points;
  for (int32_t i = 0; i < 5000; ++i) {
    GridPoint p;
    p.id = i + 1;
    p.x = (i % 100) * 10 + 0.3 * std::sin(i);
    p.y = (i / 100) * 10 + 0.3 * std::cos(i);
    p.normX = static_cast<float>(p.x / 1000);
    p.normY = static_cast<float>(p.y / 1000);
    p.estimated = i % 17 == 0;
    points.push_back(p);
  }
  for (auto _ : state) {
    ModelGridPtr grid(snapToGrid(points, -1, -1));
    benchmark::DoNotOptimize(grid.get());
  }
}
BENCHMARK(BM_SnapToGrid)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pxo
