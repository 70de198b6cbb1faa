#include "sim/scene_renderer.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace pxo::sim {

namespace {

// A fast generator for noise; the standard engines are slow enough to
// dominate rendering.
struct XorShift {
  uint64_t state;
  uint64_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
};

int colourIndex(char c) {
  return c == 'R' ? 0 : c == 'G' ? 1 : c == 'B' ? 2 : -1;
}

// A smooth texture: a few sine waves per channel.
std::vector<float> ambientTexture(const RenderScene& scene,
                                  int channel,
                                  int32_t w,
                                  int32_t h) {
  std::vector<float> t(static_cast<size_t>(w) * h);
  std::mt19937_64 rng(scene.seed * 7 + static_cast<uint64_t>(channel));
  std::uniform_real_distribution<double> u(0, 1);
  double fx1 = 0.01 + 0.03 * u(rng), fy1 = 0.01 + 0.03 * u(rng),
         p1 = 6.28 * u(rng);
  double fx2 = 0.05 + 0.1 * u(rng), fy2 = 0.02 + 0.1 * u(rng),
         p2 = 6.28 * u(rng);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      t[static_cast<size_t>(y) * w + x] = static_cast<float>(
          scene.ambient +
          scene.ambientTexture * 0.6 * std::sin(fx1 * x + fy1 * y + p1) +
          scene.ambientTexture * 0.4 * std::sin(fx2 * x - fy2 * y + p2));
  return t;
}

void addSpot(std::vector<float>& plane,
             int32_t w,
             int32_t h,
             double cx,
             double cy,
             double sigma,
             double amplitude) {
  if (amplitude <= 0) return;
  int32_t r = static_cast<int32_t>(std::ceil(3.5 * sigma));
  int32_t x0 = std::max(0, int32_t(std::floor(cx)) - r),
          x1 = std::min(w - 1, int32_t(std::floor(cx)) + r + 1);
  int32_t y0 = std::max(0, int32_t(std::floor(cy)) - r),
          y1 = std::min(h - 1, int32_t(std::floor(cy)) + r + 1);
  double k = -0.5 / (sigma * sigma);
  for (int32_t y = y0; y <= y1; ++y)
    for (int32_t x = x0; x <= x1; ++x) {
      double d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
      plane[static_cast<size_t>(y) * w + x] +=
          static_cast<float>(amplitude * std::exp(k * d2));
    }
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
  FrameTables& t = out.tables;
  t.idBits = planIdBits(&plan);
  t.passes = planPasses(&plan);
  t.bitFrames.resize(static_cast<size_t>(t.idBits) *
                     static_cast<size_t>(t.passes));
  t.bitComplementFrames.resize(t.bitFrames.size());
  t.parityFrames.resize(static_cast<size_t>(t.passes));
  t.parityComplementFrames.resize(t.parityFrames.size());
  decoderFrameTables(&plan,
                     t.bitFrames.data(),
                     t.bitComplementFrames.data(),
                     t.parityFrames.data(),
                     t.parityComplementFrames.data());
  out.passShifts.resize(static_cast<size_t>(t.passes));
  passChannelShifts(planProtocolName(&plan), out.passShifts.data(), t.passes);
  DecodeOptions& o = out.options;
  o = defaultDecodeOptions();
  o.baselineFrame = 0;
  o.floodFrames = {floodFrameIndex(&plan, 0),
                   floodFrameIndex(&plan, 1),
                   floodFrameIndex(&plan, 2)};
  o.width = w;
  o.height = h;
  o.refWidth = w;
  o.refHeight = h;
  o.ledCount = static_cast<int32_t>(plan.channelOffsets.size());
  bindOptions(&out);

  std::array<std::vector<float>, 3> ambient;
  for (int c = 0; c < 3; ++c) ambient[c] = ambientTexture(scene, c, w, h);
  // A table of standard normal values for the noise.
  std::vector<float> gauss(1 << 16);
  {
    std::mt19937_64 rng(scene.seed);
    std::normal_distribution<float> normal(0, 1);
    for (float& g : gauss) g = normal(rng);
  }
  XorShift noise{scene.seed * 0x9E3779B97F4A7C15ull + 1};

  std::vector<uint8_t> buffer(static_cast<size_t>(planChannelCount(&plan)));
  std::array<std::vector<float>, 3> accum;
  for (auto& a : accum) a.resize(static_cast<size_t>(w) * h);
  for (int32_t f = 0; f < frameCount; ++f) {
    renderPatternFrame(&plan, f, buffer);
    double mx =
        f < static_cast<int32_t>(scene.motion.size()) ? scene.motion[f][0] : 0;
    double my =
        f < static_cast<int32_t>(scene.motion.size()) ? scene.motion[f][1] : 0;
    // The background moves with the camera (whole pixels are enough).
    int32_t bx = static_cast<int32_t>(std::lround(mx)),
            by = static_cast<int32_t>(std::lround(my));
    for (int c = 0; c < 3; ++c)
      for (int32_t y = 0; y < h; ++y) {
        int32_t sy = std::clamp(y - by, 0, h - 1);
        for (int32_t x = 0; x < w; ++x) {
          int32_t sx = std::clamp(x - bx, 0, w - 1);
          accum[c][static_cast<size_t>(y) * w + x] =
              ambient[c][static_cast<size_t>(sy) * w + sx];
        }
      }
    for (size_t i = 0; i < scene.leds.size() && i < plan.channelOffsets.size();
         ++i) {
      const SceneLed& led = scene.leds[i];
      if (led.occluded) continue;
      int32_t offset = plan.channelOffsets[i];
      std::array<double, 3> emitted{};
      for (int k = 0; k < 3 && k < static_cast<int>(led.physicalOrder.size());
           ++k) {
        int e = colourIndex(led.physicalOrder[static_cast<size_t>(k)]);
        int32_t at = offset + k;
        if (e >= 0 && at >= 0 && at < static_cast<int32_t>(buffer.size()))
          emitted[e] += buffer[static_cast<size_t>(at)] / 255.0;
      }
      if (emitted[0] + emitted[1] + emitted[2] <= 0) continue;
      for (int c = 0; c < 3; ++c) {
        double response = 0;
        for (int e = 0; e < 3; ++e)
          response += scene.crosstalk[c][e] * emitted[e];
        addSpot(accum[c],
                w,
                h,
                led.x + mx,
                led.y + my,
                scene.spotSigma,
                response * scene.spotPeak);
        if (led.reflectionGain > 0)
          addSpot(accum[c],
                  w,
                  h,
                  led.x + led.reflectionDx + mx,
                  led.y + led.reflectionDy + my,
                  scene.spotSigma * 1.6,
                  response * scene.spotPeak * led.reflectionGain);
      }
    }
    FramePlanes frame;
    for (int c = 0; c < 3; ++c) {
      std::vector<uint8_t>& plane = frame.plane[c];
      plane.resize(accum[c].size());
      for (size_t p = 0; p < plane.size(); ++p) {
        float v = accum[c][p];
        if (scene.noiseSigma > 0)
          v += static_cast<float>(scene.noiseSigma) *
               gauss[noise.next() & 0xFFFF];
        plane[p] = static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
      }
    }
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
