// Reading the frames a scan needs back out of its recording, against one
// sequential decode of the whole file.

#include "capture/media.h"

#include "sim/scene_renderer.h"

#include <filesystem>
#include <memory>

#include <benchmark/benchmark.h>

namespace pxo {
namespace {

constexpr double kFps = 30;
constexpr int kFramesPerPattern = 6;  // each pattern held 0.2 s

struct Recording {
  std::filesystem::path path;
  std::vector<double> marks;       // one per pattern frame
  std::vector<double> frameTimes;  // every frame in the file
};

const Recording& recordingOf500Leds() {
  static std::unique_ptr<Recording> cached;
  if (cached) return *cached;
  cached = std::make_unique<Recording>();
  sim::RenderScene scene;
  scene.leds = sim::matrixLeds(25, 20, 24, scene.width, scene.height);
  scene.noiseSigma = 3;
  ScanPlanPtr plan = sim::simplePlan(500);
  sim::RenderedScan scan = sim::renderScan(scene, *plan);
  cached->path =
      std::filesystem::temp_directory_path() / "pxo-extract-bench.mp4";
  auto writer = pxowin::createRecordingWriter();
  std::string error;
  if (!writer->open(cached->path, scene.width, scene.height, kFps, &error))
    return *cached;
  pxowin::BgraFrame frame;
  frame.width = scene.width;
  frame.height = scene.height;
  frame.stride = frame.width * 4;
  frame.pixels.assign(static_cast<size_t>(frame.stride) * frame.height, 255);
  int64_t index = 0;
  for (const FramePlanes& planes : scan.frames) {
    for (size_t p = 0; p < planes.plane[0].size(); ++p) {
      frame.pixels[4 * p] = planes.plane[2][p];
      frame.pixels[4 * p + 1] = planes.plane[1][p];
      frame.pixels[4 * p + 2] = planes.plane[0][p];
    }
    cached->marks.push_back(index / kFps);
    for (int k = 0; k < kFramesPerPattern; ++k, ++index) {
      (void)writer->write(frame, index / kFps);
      cached->frameTimes.push_back(index / kFps);
    }
  }
  (void)writer->finish(&error);
  return *cached;
}

// The settle probes around the three floods at 128 px, then every mark.
void BM_ExtractScanFrames(benchmark::State& state) {
  const Recording& recording = recordingOf500Leds();
  int64_t frames = 0;
  for (auto _ : state) {
    auto extractor = pxowin::createFrameExtractor();
    std::string error;
    if (!extractor->open(recording.path, &error))
      state.SkipWithError(error.c_str());
    pxowin::BgraFrame frame;
    for (int flood = 1; flood <= 3; ++flood)
      for (int probe = 0; probe < 19; ++probe) {
        (void)extractor->frameAt(
            recording.marks[flood] - 0.1 + probe * 0.02, 128, &frame, &error);
        benchmark::DoNotOptimize(frame);
        ++frames;
      }
    for (double mark : recording.marks) {
      (void)extractor->frameAt(mark + 0.1, 1024, &frame, &error);
      ++frames;
    }
  }
  state.counters["extracted"] =
      static_cast<double>(frames) / state.iterations();
}
BENCHMARK(BM_ExtractScanFrames)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DecodeWholeRecording(benchmark::State& state) {
  const Recording& recording = recordingOf500Leds();
  for (auto _ : state) {
    auto extractor = pxowin::createFrameExtractor();
    std::string error;
    if (!extractor->open(recording.path, &error))
      state.SkipWithError(error.c_str());
    pxowin::BgraFrame frame;
    for (double t : recording.frameTimes)
      (void)extractor->frameAt(t, 0, &frame, &error);
  }
  state.counters["frames"] = static_cast<double>(recording.frameTimes.size());
}
BENCHMARK(BM_DecodeWholeRecording)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace pxo
