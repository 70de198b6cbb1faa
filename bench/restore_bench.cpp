// What keeping the user's configuration safe costs a scan: the restore
// record written (and flushed to disk) before the first change, and the
// checked restore that reads every file back, against the simulated
// controller on loopback. The 48-port BeagleBone layout is the largest
// document a controller sends.

#include "controller/fpp_client.h"
#include "controller/fpp_reconfigure.h"
#include "controller/restore_record.h"
#include "controller/scan_every_port.h"

#include "sim/fpp_simulator.h"

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace pxo {
namespace {

std::unique_ptr<sim::FppSimulator> startController(const char* config) {
  sim::FppSimConfig loaded;
  std::string error;
  if (!sim::loadFppSimConfigFile(config, &loaded, &error)) return nullptr;
  auto fpp = std::make_unique<sim::FppSimulator>(std::move(loaded));
  if (!fpp->start(&error)) return nullptr;
  return fpp;
}

void applyAndRestore(benchmark::State& state, const char* config) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / "pxo-restore-bench";
  ::setenv("XDG_STATE_HOME", folder.c_str(), 1);
  auto fpp = startController(config);
  ControllerLink link;
  std::string error;
  if (!fpp || !connectController(&link, fpp->httpAddress(), "", "", &error)) {
    state.SkipWithError("no simulated controller");
    return;
  }
  std::string scanConfig;
  if (!buildScanPortConfig(link.savedPortStrings,
                           test::scanEveryPort(link, 3000),
                           &scanConfig)) {
    state.SkipWithError("no scan configuration");
    return;
  }
  const std::string saved = link.savedPortStrings;
  for (auto _ : state) {
    link.savedPortStrings = saved;
    if (!applyScanConfiguration(&link, scanConfig, {}, &error) ||
        !restoreController(&link, {}, &error)) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
  state.counters["document_bytes"] = static_cast<double>(saved.size());
  std::filesystem::remove_all(folder);
}

void BM_ApplyAndCheckedRestorePi(benchmark::State& state) {
  applyAndRestore(state, "fpp-pi.json");
}
void BM_ApplyAndCheckedRestoreBeagleBone(benchmark::State& state) {
  applyAndRestore(state, "fpp-bbb.json");
}
BENCHMARK(BM_ApplyAndCheckedRestorePi)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyAndCheckedRestoreBeagleBone)->Unit(benchmark::kMillisecond);

// The record alone: written atomically and flushed, then read and checked.
void BM_WriteAndReadRecord(benchmark::State& state) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / "pxo-record-bench";
  ::setenv("XDG_STATE_HOME", folder.c_str(), 1);
  RestoreRecord record;
  record.device = kControllerDevice;
  record.key = controllerRecordKey("bench.local");
  record.host = "bench.local";
  record.kind = "fpp";
  RestoreFile file;
  file.name = "pixel strings";
  file.path = "/api/channel/output/co-bbbStrings";
  file.original.assign(static_cast<size_t>(state.range(0)), 'x');
  record.files = {file};
  std::string error;
  for (auto _ : state) {
    RestoreRecord read;
    if (!writeRestoreRecord(record, &error) ||
        readRestoreRecord(kControllerDevice, record.key, &read, &error) !=
            RecordState::kOk) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_WriteAndReadRecord)
    ->Arg(4 << 10)
    ->Arg(64 << 10)
    ->Arg(1 << 20)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pxo
