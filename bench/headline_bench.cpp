// The headline: a 5,000-LED prop on 10 ports, the first scan of a session
// end to end on the virtual rig (brightness calibration, recording,
// processing), at 1024 × 576 and 1920 × 1080. The protocol's own time is
// 4.2 s of calibration + 60 patterns × 0.2 s + 0.6 s = 16.8 s; the counters
// say how close the whole scan comes to it and how many LEDs it got right.

#include "scan/session.h"

#include "sim/rig.h"
#include "sim/rig_scan.h"

#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

namespace pxo {
namespace {

constexpr double kProtocolSeconds = 16.8;

void scanScene(benchmark::State& state, const char* file) {
  sim::SceneConfig scene;
  std::string error;
  if (!sim::loadSceneFile(
          std::string(PXO_BENCH_SOURCE_DIR) + "/sim/scenes/conditions/" + file,
          &scene,
          &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const auto dataDir =
      std::filesystem::temp_directory_path() / "pxo-headline-bench";
  for (auto _ : state) {
    sim::SimulatedRig rig(scene);
    if (!rig.start(&error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    auto owned = rig.makeCamera(0);
    sim::VirtualCamera* camera = owned.get();
    auto session = createScanSession(std::move(owned), "", "");
    std::string model;
    if (connectController(*session, rig.controllerAddress(), "", "", &error)) {
      for (ControllerPort& port : session->controller.ports)
        port.selected = true;
      if (prepareScan(*session, &error))
        runScan(*session, &model, "Headline", &error);
    }
    if (model.empty()) {
      state.SkipWithError(error.c_str());
      teardownScan(*session);
      break;
    }
    const double total =
        session->lastRun.recordingSeconds + session->lastRun.processingSeconds;
    state.SetIterationTime(total);
    const sim::DecodeScore score = sim::scoreLastRun(rig, 0, *camera, *session);
    state.counters["correct"] = score.correctFraction();
    state.counters["wrong"] = score.wrong;
    state.counters["recording_s"] = session->lastRun.recordingSeconds;
    state.counters["processing_s"] = session->lastRun.processingSeconds;
    state.counters["ratio"] = total / kProtocolSeconds;
    teardownScan(*session);
  }
  std::filesystem::remove_all(dataDir);
}

void BM_Headline5000Leds1024x576(benchmark::State& state) {
  scanScene(state, "big-matrix-5000.json");
}
void BM_Headline5000Leds1920x1080(benchmark::State& state) {
  scanScene(state, "big-matrix-5000-1080p.json");
}
BENCHMARK(BM_Headline5000Leds1024x576)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_Headline5000Leds1920x1080)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace pxo
