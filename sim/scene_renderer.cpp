#include "sim/scene_renderer.h"

#include "scan/plan_decoding.h"

#include "sim/camera_imager.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace pxo::sim {

namespace {

int colourIndex(char c) {
  return c == 'R' ? 0 : c == 'G' ? 1 : c == 'B' ? 2 : -1;
}

}  // namespace

void bindOptions(RenderedScan* scan) {
  scan->options.passShifts =
      scan->passShifts.empty() ? nullptr : scan->passShifts.data();
}

RenderedScan renderScan(const RenderScene& scene, const ScanPlan& plan) {
  const int32_t w = scene.width, h = scene.height;
  const int32_t frameCount = planFrameCount(&plan);
  RenderedScan out;

  // What the decoder is told about the plan.
  PlanDecoding decoding = planDecoding(&plan);
  // Options that fail their check stay the defaults; the decode then says
  // why.
  (void)decoding.options(&plan,
                         w,
                         h,
                         static_cast<int32_t>(plan.channelOffsets.size()),
                         &out.options,
                         nullptr);
  out.tables = std::move(decoding.tables);
  out.passShifts = std::move(decoding.passShifts);
  bindOptions(&out);

  ImagerOptions imaging;
  imaging.width = w;
  imaging.height = h;
  imaging.spotSigma = scene.spotSigma;
  imaging.spotPeak = scene.spotPeak;
  imaging.crosstalk = scene.crosstalk;
  imaging.noiseSigma = scene.noiseSigma;
  imaging.ambient = scene.ambient;
  imaging.ambientTexture = scene.ambientTexture;
  imaging.seed = scene.seed;
  CameraImager imager(imaging);

  std::vector<uint8_t> buffer(static_cast<size_t>(planChannelCount(&plan)));
  std::vector<Emitter> emitters;
  for (int32_t f = 0; f < frameCount; ++f) {
    renderPatternFrame(&plan, f, buffer);
    double mx =
        f < static_cast<int32_t>(scene.motion.size()) ? scene.motion[f][0] : 0;
    double my =
        f < static_cast<int32_t>(scene.motion.size()) ? scene.motion[f][1] : 0;
    emitters.clear();
    for (size_t i = 0; i < scene.leds.size() && i < plan.channelOffsets.size();
         ++i) {
      const SceneLed& led = scene.leds[i];
      if (led.occluded) continue;
      int32_t offset = plan.channelOffsets[i];
      Emitter e{led.x,
                led.y,
                {},
                led.reflectionGain,
                led.reflectionDx,
                led.reflectionDy};
      for (int k = 0; k < 3 && k < static_cast<int>(led.physicalOrder.size());
           ++k) {
        int colour = colourIndex(led.physicalOrder[static_cast<size_t>(k)]);
        int32_t at = offset + k;
        if (colour >= 0 && at >= 0 && at < static_cast<int32_t>(buffer.size()))
          e.light[colour] += buffer[static_cast<size_t>(at)] / 255.0;
      }
      emitters.push_back(e);
    }
    const auto& planes = imager.render(emitters, mx, my);
    FramePlanes frame;
    for (int c = 0; c < 3; ++c) frame.plane[c] = planes[c];
    out.frames.push_back(std::move(frame));
    out.times.push_back(f * scene.frameInterval);
  }
  return out;
}

std::vector<std::array<double, 2>> steadyDrift(int32_t frames,
                                               double totalDx,
                                               double totalDy) {
  std::vector<std::array<double, 2>> motion(
      static_cast<size_t>(std::max(frames, 0)));
  for (int32_t f = 0; f < frames; ++f) {
    double t = frames > 1 ? double(f) / (frames - 1) : 0;
    motion[f] = {totalDx * t, totalDy * t};
  }
  return motion;
}

void addJitter(std::vector<std::array<double, 2>>* motion,
               double amplitude,
               uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-amplitude, amplitude);
  for (size_t f = 1; f < motion->size(); ++f) {
    (*motion)[f][0] += u(rng);
    (*motion)[f][1] += u(rng);
  }
}

void addBump(std::vector<std::array<double, 2>>* motion,
             int32_t fromFrame,
             double dx,
             double dy) {
  for (size_t f = static_cast<size_t>(std::max(fromFrame, 1));
       f < motion->size();
       ++f) {
    (*motion)[f][0] += dx;
    (*motion)[f][1] += dy;
  }
}

std::vector<SceneLed> matrixLeds(
    int32_t cols, int32_t rows, double spacing, int32_t width, int32_t height) {
  std::vector<SceneLed> leds;
  double x0 = (width - (cols - 1) * spacing) / 2,
         y0 = (height - (rows - 1) * spacing) / 2;
  // Wired as a serpentine, as matrices usually are.
  for (int32_t r = 0; r < rows; ++r)
    for (int32_t i = 0; i < cols; ++i) {
      int32_t c = r % 2 == 0 ? i : cols - 1 - i;
      SceneLed led;
      led.x = x0 + c * spacing + 0.3 * std::sin(r * 1.7 + c);
      led.y = y0 + r * spacing + 0.3 * std::cos(r + c * 1.3);
      leds.push_back(led);
    }
  return leds;
}

std::vector<SceneLed> serpentineLeds(
    int32_t count, double step, double rowGap, int32_t width, int32_t height) {
  std::vector<SceneLed> leds;
  const double margin = 24;
  const double rowLength = width - 2 * margin;
  int32_t perRow = std::max(1, static_cast<int32_t>(rowLength / step));
  int32_t rows = (count + perRow - 1) / perRow;
  double y0 = (height - (rows - 1) * rowGap) / 2;
  for (int32_t i = 0; i < count; ++i) {
    int32_t r = i / perRow, j = i % perRow;
    double along = (r % 2 == 0 ? j : perRow - 1 - j) * step;
    SceneLed led;
    led.x = margin + along;
    led.y = y0 + r * rowGap + 1.5 * std::sin(along / 40.0);
    leds.push_back(led);
  }
  return leds;
}

ScanPlanPtr simplePlan(int32_t count) {
  PortGroup group{0, count, 3};
  return ScanPlanPtr(buildScanPlan(std::span(&group, 1), count, 2, true));
}

}  // namespace pxo::sim
