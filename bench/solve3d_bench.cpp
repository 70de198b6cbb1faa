// The 3D solve of a session's views: 2,000 LEDs of a tree seen from three
// places, with the field of view given and searched (nine solves).

#include "scan/session.h"

#include "sim/rig.h"
#include "sim/solve_scorer.h"

#include <benchmark/benchmark.h>

namespace {

std::unique_ptr<pxo::ScanSession> sessionWithViews(int leds) {
  auto session = pxo::createScanSession(nullptr, "", "");
  const auto tree = pxo::sim::treeSpiral(leds, 2, 0.6, 12);
  uint64_t seed = 1;
  for (double yaw : {-20.0, 20.0, 60.0})
    session->views.push_back(pxo::sim::syntheticView(
        tree, pxo::sim::poseAround(yaw, 4), 60, 1920, 1080, 0.5, seed++));
  return session;
}

void BM_Solve3D(benchmark::State& state) {
  auto session = sessionWithViews(static_cast<int>(state.range(0)));
  const double fov = static_cast<double>(state.range(1));
  std::string error;
  for (auto _ : state) {
    if (!pxo::solve3D(*session, fov, &error))
      state.SkipWithError(error.c_str());
    benchmark::DoNotOptimize(session->points3d.data());
  }
  state.SetLabel(session->solveStatus);
}
BENCHMARK(BM_Solve3D)
    ->Args({2000, 0})
    ->Args({2000, 60})
    ->Args({500, 0})
    ->Unit(benchmark::kMillisecond);

}  // namespace
