// The scan window while a scan records, on the virtual rig: the window
// thread (this one) handles the posted messages as a toolkit's loop would,
// the live preview included. Arguments: busy threads beside the scan (0,
// or 2 on a two-core machine: a loaded one).
//   preview_ms_mean / _max  time between live-preview frames shown during
//                           the scan (the throttle's floor is 60 ms)
//   previews_per_s          preview frames shown per second of scan
//   handle_ms_max           the longest the window thread spent on one
//                           message (it must never wait on the scan)
//   scan_s                  Start Scan to the review

#include "ui/scan_wizard.h"

#include "sim/rig.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

namespace pxo::ui {
namespace {

using Clock = std::chrono::steady_clock;

double millisecondsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

// The window thread's loop: messages in posting order, one at a time.
class WindowLoop {
 public:
  Poster poster() {
    return [this](PostedMessage message) {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(message));
      arrived_.notify_one();
    };
  }

  // Handles messages until `done` holds; false after `seconds`.
  bool runUntil(ScanWizard& wizard,
                const std::function<bool()>& done,
                double seconds) {
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(seconds));
    while (!done()) {
      std::unique_lock lock(mutex_);
      if (!arrived_.wait_until(lock, deadline, [&] { return !queue_.empty(); }))
        return done();
      PostedMessage message = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      const auto start = Clock::now();
      if (message.message == WizardMessage::kFrameWaiting) {
        PreviewFrame frame;
        if (wizard.takePreviewFrame(&frame) && recording_)
          previews_.push_back(start);
      }
      wizard.handle(message);
      handleMax_ =
          std::max(handleMax_, millisecondsBetween(start, Clock::now()));
    }
    return true;
  }

  void recordPreviews(bool on) { recording_ = on; }
  const std::vector<Clock::time_point>& previews() const { return previews_; }
  double handleMaxMs() const { return handleMax_; }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<PostedMessage> queue_;
  bool recording_ = false;
  std::vector<Clock::time_point> previews_;
  double handleMax_ = 0;
};

void BM_PreviewWhileScanning(benchmark::State& state) {
  const auto busyThreads = static_cast<int32_t>(state.range(0));
  for (auto _ : state) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    sim::SimulatedRig rig(sim::defaultScene());
    std::string error;
    if (!rig.start(&error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    ScanWizard wizard(createScanSession(rig.makeCamera(0), "", ""),
                      nullptr,
                      rig.controllerAddress(),
                      "");
    WindowLoop loop;
    wizard.start(loop.poster());
    wizard.connect();
    bool ok = loop.runUntil(
        wizard, [&] { return wizard.stage() == Stage::kPorts; }, 30);
    for (size_t i = 0; ok && i < wizard.portRows().size(); ++i)
      for (const sim::ScenePort& p : rig.scene().ports)
        if (p.port == wizard.portRows()[i].portNumber)
          wizard.setPortSelected(i, p.selected);
    wizard.continueToAim();
    ok = ok && loop.runUntil(
                   wizard, [&] { return wizard.stage() == Stage::kAim; }, 30);
    for (int32_t i = 0; i < busyThreads; ++i)
      busy.emplace_back([&stop] {
        volatile uint64_t spin = 0;
        while (!stop.load(std::memory_order_relaxed)) spin = spin + 1;
      });
    loop.recordPreviews(true);
    const auto started = Clock::now();
    wizard.startScan();
    ok = ok &&
         loop.runUntil(
             wizard, [&] { return wizard.stage() != Stage::kScanning; }, 120);
    const double scanSeconds =
        std::chrono::duration<double>(Clock::now() - started).count();
    loop.recordPreviews(false);
    stop = true;
    for (std::thread& t : busy) t.join();
    if (!ok || wizard.stage() != Stage::kReview) {
      state.SkipWithError(("scan did not finish: " + wizard.status()).c_str());
      break;
    }
    const auto& shown = loop.previews();
    double sum = 0, longest = 0;
    for (size_t i = 1; i < shown.size(); ++i) {
      const double gap = millisecondsBetween(shown[i - 1], shown[i]);
      sum += gap;
      longest = std::max(longest, gap);
    }
    state.SetIterationTime(scanSeconds);
    state.counters["preview_ms_mean"] =
        shown.size() > 1 ? sum / double(shown.size() - 1) : 0;
    state.counters["preview_ms_max"] = longest;
    state.counters["previews_per_s"] = double(shown.size()) / scanSeconds;
    state.counters["handle_ms_max"] = loop.handleMaxMs();
    state.counters["scan_s"] = scanSeconds;
  }
}
BENCHMARK(BM_PreviewWhileScanning)
    ->Arg(0)
    ->Arg(2)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace pxo::ui

BENCHMARK_MAIN();
