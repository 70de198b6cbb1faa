// Rendering every pattern frame of a scan: the work the scan run does once
// per frame while the camera records.

#include "scan/scan_plan.h"

#include <vector>

#include <benchmark/benchmark.h>

namespace pxo {
namespace {

ScanPlanPtr planFor(int32_t leds) {
  // Four ports of equal length, as a prop of several strings would be.
  std::vector<PortGroup> groups;
  for (int32_t p = 0; p < 4; ++p)
    groups.push_back({p * (leds / 4 + 1) * 3, leds / 4 + 1, 3});
  return ScanPlanPtr(buildScanPlan(groups, leds, 2, true));
}

void BM_RenderAllPatternFrames(benchmark::State& state) {
  auto plan = planFor(static_cast<int32_t>(state.range(0)));
  std::vector<uint8_t> frame(static_cast<size_t>(planChannelCount(plan.get())));
  const int32_t frames = planFrameCount(plan.get());
  for (auto _ : state) {
    for (int32_t k = 0; k < frames; ++k) {
      renderPatternFrame(plan.get(), k, frame);
      benchmark::DoNotOptimize(frame.data());
    }
  }
  state.counters["frames"] = frames;
  state.counters["per_frame"] = benchmark::Counter(
      static_cast<double>(frames) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_RenderAllPatternFrames)
    ->Arg(50)
    ->Arg(500)
    ->Arg(5000)
    ->Unit(benchmark::kMicrosecond);

void BM_RenderSweepFrames(benchmark::State& state) {
  const int32_t side = 71;  // about 5,000 cells
  std::vector<int32_t> cells(side * side), offsets(side * side);
  for (int32_t i = 0; i < side * side; ++i) {
    cells[i] = i + 1;
    offsets[i] = i * 3;
  }
  const int32_t stride = side * side * 3;
  std::vector<uint8_t> out(static_cast<size_t>(sweepFrameCount(side, side)) *
                           stride);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        renderSweepFrames(side, side, cells, offsets, stride, 80, out));
  }
}
BENCHMARK(BM_RenderSweepFrames)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pxo
