// A whole 500-LED scan on the virtual rig: the recording takes the time the
// protocol sets (about 16 s); what is measured is everything after it
// (settle timing, extraction, decoding, grid, model and scan data).

#include "scan/session.h"

#include "sim/rig.h"

#include <filesystem>

#include <benchmark/benchmark.h>

namespace pxo {
namespace {

void BM_ScanProcessing500Leds(benchmark::State& state) {
  sim::SceneConfig scene;
  std::string error;
  if (!sim::loadScene(
          R"({"prop":{"shape":"matrix","cols":25,"rows":20,"spacing":0.08},
      "ports":[{"port":0,"pixels":500}],
      "camera":{"width":1024,"height":576,"poses":[{"position":[0,0,-2.4]}]}})",
          &scene,
          &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const auto dataDir =
      std::filesystem::temp_directory_path() / "pxo-scan-bench";
  for (auto _ : state) {
    sim::SimulatedRig rig(scene);
    if (!rig.start(&error)) state.SkipWithError(error.c_str());
    auto session = createScanSession(rig.makeCamera(0), "", dataDir.string());
    std::string model;
    if (connectController(*session, rig.controllerAddress(), "", "", &error)) {
      for (ControllerPort& port : session->controller.ports)
        port.selected = true;
      if (prepareScan(*session, &error))
        runScan(*session, &model, "Bench", &error);
    }
    if (model.empty()) state.SkipWithError(error.c_str());
    state.SetIterationTime(session->lastRun.processingSeconds);
    state.counters["recording_s"] = session->lastRun.recordingSeconds;
    int32_t observed = 0;
    for (const DecodedLed& led : session->lastRun.decoded)
      observed += led.estimated ? 0 : 1;
    state.counters["observed"] = observed;
    teardownScan(*session);
  }
  std::filesystem::remove_all(dataDir);
}
BENCHMARK(BM_ScanProcessing500Leds)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace pxo
