// A whole first scan of a session on the virtual rig, as a user waits for
// it: connecting and preparing (start-up), the brightness calibration, the
// pattern recording and what is left after the last pattern, for props of
// 150, 500 and 5,000 LEDs at 1024 × 576 and 1920 × 1080. The protocol's own
// time is 4.2 s of calibration + the patterns × 0.2 s + 0.6 s (16.8 s for
// 5,000 LEDs); the counters say how close the whole scan comes to it, where
// the rest goes, and how many LEDs it got right.
//
// The headline is the 5,000-LED prop on 10 ports: within 1.2 × the
// protocol, 99 % correct.

#include "scan/session.h"

#include "sim/rig.h"
#include "sim/rig_scan.h"

#include <algorithm>
#include <chrono>
#include <string>

#include <benchmark/benchmark.h>

namespace pxo {
namespace {

constexpr double kCalibrationProtocolSeconds = 4.2;
constexpr double kPatternSeconds = 0.2;
constexpr double kTailSeconds = 0.6;

// A matrix of cols × rows LEDs on ports of at most 500, filmed from 3 m.
std::string matrixScene(int32_t cols, int32_t rows, int32_t width) {
  const int32_t leds = cols * rows;
  std::string ports;
  for (int32_t port = 0, left = leds; left > 0; ++port, left -= 500)
    ports += (port ? "," : "") + std::string("{\"port\":") +
             std::to_string(port) +
             ",\"pixels\":" + std::to_string(std::min(left, 500)) + "}";
  // 2.64 m wide at most, and 1.5 m high: in the picture at 3 m.
  const double spacing = std::min(2.64 / cols, 1.5 / rows);
  return "{\"prop\":{\"shape\":\"matrix\",\"cols\":" + std::to_string(cols) +
         ",\"rows\":" + std::to_string(rows) +
         ",\"spacing\":" + std::to_string(spacing) + "},\"ports\":[" + ports +
         "],\"camera\":{\"width\":" + std::to_string(width) +
         ",\"height\":" + std::to_string(width * 9 / 16) +
         ",\"fovDeg\":60,\"poses\":[{\"position\":[0,0,-3]}]}}";
}

void scanScene(benchmark::State& state,
               int32_t cols,
               int32_t rows,
               int32_t width) {
  using Clock = std::chrono::steady_clock;
  sim::SceneConfig scene;
  std::string error;
  if (!sim::loadScene(matrixScene(cols, rows, width), &scene, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  for (auto _ : state) {
    sim::SimulatedRig rig(scene);
    if (!rig.start(&error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    auto owned = rig.makeCamera(0);
    sim::VirtualCamera* camera = owned.get();
    const auto started = Clock::now();
    auto session = createScanSession(std::move(owned), "", "");
    std::string model;
    double startup = 0;
    if (connectController(*session, rig.controllerAddress(), "", "", &error)) {
      for (ControllerPort& port : session->controller.ports)
        port.selected = true;
      if (prepareScan(*session, &error)) {
        startup = std::chrono::duration<double>(Clock::now() - started).count();
        runScan(*session, &model, "Headline", &error);
      }
    }
    const double wall =
        std::chrono::duration<double>(Clock::now() - started).count();
    if (model.empty()) {
      state.SkipWithError(error.c_str());
      teardownScan(*session);
      break;
    }
    state.SetIterationTime(wall);
    const ScanRunRecord& run = session->lastRun;
    const double patterns = kPatternSeconds * session->frameCount;
    const double protocol =
        kCalibrationProtocolSeconds + patterns + kTailSeconds;
    const sim::DecodeScore score = sim::scoreLastRun(rig, 0, *camera, *session);
    state.counters["correct"] = score.correctFraction();
    state.counters["wrong"] = score.wrong;
    state.counters["protocol_s"] = protocol;
    state.counters["ratio"] = wall / protocol;
    state.counters["startup_s"] = startup;
    state.counters["calibration_extra_s"] =
        run.calibrationSeconds - kCalibrationProtocolSeconds;
    state.counters["patterns_extra_s"] =
        run.recordingSeconds - run.calibrationSeconds - patterns - kTailSeconds;
    state.counters["after_last_pattern_s"] = run.processingSeconds;
    state.counters["kept_frames_MB"] =
        static_cast<double>(run.keptFrameBytes) / (1 << 20);
    teardownScan(*session);
  }
}

void BM_Scan150Leds1024x576(benchmark::State& state) {
  scanScene(state, 15, 10, 1024);
}
void BM_Scan150Leds1920x1080(benchmark::State& state) {
  scanScene(state, 15, 10, 1920);
}
void BM_Scan500Leds1024x576(benchmark::State& state) {
  scanScene(state, 25, 20, 1024);
}
void BM_Scan500Leds1920x1080(benchmark::State& state) {
  scanScene(state, 25, 20, 1920);
}
void BM_Headline5000Leds1024x576(benchmark::State& state) {
  scanScene(state, 100, 50, 1024);
}
void BM_Headline5000Leds1920x1080(benchmark::State& state) {
  scanScene(state, 100, 50, 1920);
}
BENCHMARK(BM_Scan150Leds1024x576)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_Scan150Leds1920x1080)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_Scan500Leds1024x576)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_Scan500Leds1920x1080)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
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
