#include "sim/camera_imager.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace pxo::sim {

namespace {

// The Gaussian spot of an emitter at (cx, cy), added to each plane with
// its own amplitude. exp(k (dx² + dy²)) = exp(k dx²) exp(k dy²): the spot is
// the product of one row and one column of weights.
void addSpot(std::array<std::vector<float>, 3>& planes,
             int32_t w,
             int32_t h,
             double cx,
             double cy,
             double sigma,
             const std::array<double, 3>& amplitude) {
  if (amplitude[0] <= 0 && amplitude[1] <= 0 && amplitude[2] <= 0) return;
  auto r = static_cast<int32_t>(std::ceil(3.5 * sigma));
  auto fx = static_cast<int32_t>(std::floor(cx)),
       fy = static_cast<int32_t>(std::floor(cy));
  int32_t x0 = std::max(0, fx - r), x1 = std::min(w - 1, fx + r + 1);
  int32_t y0 = std::max(0, fy - r), y1 = std::min(h - 1, fy + r + 1);
  if (x0 > x1 || y0 > y1) return;
  double k = -0.5 / (sigma * sigma);
  static thread_local std::vector<double> across;
  const size_t columns = static_cast<size_t>(x1) - static_cast<size_t>(x0) + 1;
  across.resize(columns);
  for (int32_t x = x0; x <= x1; ++x)
    across[static_cast<size_t>(x - x0)] = std::exp(k * (x - cx) * (x - cx));
  for (int32_t y = y0; y <= y1; ++y) {
    const double down = std::exp(k * (y - cy) * (y - cy));
    for (size_t c = 0; c < 3; ++c) {
      if (amplitude[c] <= 0) continue;
      const double scale = amplitude[c] * down;
      float* row = planes[c].data() + static_cast<size_t>(y) * w + x0;
      for (size_t i = 0; i < columns; ++i)
        row[i] += static_cast<float>(scale * across[i]);
    }
  }
}

}  // namespace

CameraImager::CameraImager(const ImagerOptions& options)
    : options_(options), noiseState_(options.seed * 0x9E3779B97F4A7C15ull + 1) {
  const int32_t w = options.width, h = options.height;
  for (int c = 0; c < 3; ++c) {
    // A smooth texture: two sine waves per channel.
    std::mt19937_64 rng(options.seed * 7 + static_cast<uint64_t>(c));
    std::uniform_real_distribution<double> u(0, 1);
    double fx1 = 0.01 + 0.03 * u(rng), fy1 = 0.01 + 0.03 * u(rng),
           p1 = 6.28 * u(rng);
    double fx2 = 0.05 + 0.1 * u(rng), fy2 = 0.02 + 0.1 * u(rng),
           p2 = 6.28 * u(rng);
    ambient_[c].resize(static_cast<size_t>(w) * h);
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x)
        ambient_[c][static_cast<size_t>(y) * w + x] = static_cast<float>(
            options.ambient +
            options.ambientTexture * 0.6 * std::sin(fx1 * x + fy1 * y + p1) +
            options.ambientTexture * 0.4 * std::sin(fx2 * x - fy2 * y + p2));
    accum_[c].resize(ambient_[c].size());
    planes_[c].resize(ambient_[c].size());
  }
  gauss_.resize(1 << 16);
  std::mt19937_64 rng(options.seed);
  std::normal_distribution<float> normal(0, 1);
  for (float& g : gauss_) g = normal(rng);
}

const std::array<std::vector<uint8_t>, 3>& CameraImager::render(
    std::span<const Emitter> emitters,
    double dx,
    double dy,
    double brightness,
    double noiseGain) {
  const int32_t w = options_.width, h = options_.height;
  auto bx = static_cast<int32_t>(std::lround(dx)),
       by = static_cast<int32_t>(std::lround(dy));
  std::array<double, 3> glow{};
  if (options_.glowPerLed > 0)
    for (const Emitter& e : emitters)
      for (int c = 0; c < 3; ++c)
        for (int k = 0; k < 3; ++k)
          glow[c] +=
              options_.glowPerLed * options_.crosstalk[c][k] * e.light[k];
  for (int c = 0; c < 3; ++c) {
    const auto lift = static_cast<float>(std::min(glow[c], options_.glowCap));
    const auto scale = static_cast<float>(brightness);
    for (int32_t y = 0; y < h; ++y) {
      int32_t sy = std::clamp(y - by, 0, h - 1);
      const float* __restrict src =
          ambient_[c].data() + static_cast<size_t>(sy) * w;
      float* __restrict dst = accum_[c].data() + static_cast<size_t>(y) * w;
      if (bx == 0 && scale == 1.0f) {
        for (int32_t x = 0; x < w; ++x) dst[x] = src[x] + lift;
      } else {
        for (int32_t x = 0; x < w; ++x)
          dst[x] = scale * src[std::clamp(x - bx, 0, w - 1)] + lift;
      }
    }
  }
  for (const Emitter& e : emitters) {
    if (e.light[0] + e.light[1] + e.light[2] <= 0) continue;
    std::array<double, 3> peak{}, mirrored{};
    for (size_t c = 0; c < 3; ++c) {
      double response = 0;
      for (size_t k = 0; k < 3; ++k)
        response += options_.crosstalk[c][k] * e.light[k];
      peak[c] = response * options_.spotPeak;
      mirrored[c] = peak[c] * e.reflectionGain;
    }
    addSpot(accum_, w, h, e.x + dx, e.y + dy, options_.spotSigma, peak);
    if (options_.bloom > 0) {
      // The excess spreads over nine times the spot's area.
      std::array<double, 3> halo{};
      for (size_t c = 0; c < 3; ++c)
        halo[c] = options_.bloom * std::max(peak[c] - 255.0, 0.0) / 9;
      addSpot(accum_, w, h, e.x + dx, e.y + dy, 3 * options_.spotSigma, halo);
    }
    if (e.reflectionGain > 0)
      addSpot(accum_,
              w,
              h,
              e.x + e.reflectionDx + dx,
              e.y + e.reflectionDy + dy,
              options_.spotSigma * 1.6,
              mirrored);
  }
  // Noise: one xorshift step per pixel picks its table entry.
  const auto sigma = static_cast<float>(options_.noiseSigma * noiseGain);
  const float* gauss = gauss_.data();
  auto toByte = [](float v) {
    return static_cast<uint8_t>(std::min(std::max(v + 0.5f, 0.0f), 255.0f));
  };
  for (int c = 0; c < 3; ++c) {
    const float* a = accum_[c].data();
    uint8_t* plane = planes_[c].data();
    const size_t n = planes_[c].size();
    if (sigma <= 0) {
      for (size_t p = 0; p < n; ++p) plane[p] = toByte(a[p]);
      continue;
    }
    uint64_t state = noiseState_;
    for (size_t p = 0; p < n; ++p) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      plane[p] = toByte(a[p] + sigma * gauss[state & 0xFFFF]);
    }
    noiseState_ = state;
  }
  return planes_;
}

}  // namespace pxo::sim
