#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

// How a camera turns light into a picture: a Gaussian spot per emitter
// through a colour-crosstalk matrix, a textured ambient background, sensor
// noise and saturation. Shared by the frame renderer and the virtual
// camera. Not thread safe: one imager per rendering thread.

namespace pxo::sim {

struct ImagerOptions {
  int32_t width = 1024;
  int32_t height = 576;
  double spotSigma = 1.5;  // pixels
  double spotPeak = 230;   // camera value at the centre of a full spot
  // Camera channel c's response to emitted colour e (rows: R, G, B).
  std::array<std::array<double, 3>, 3> crosstalk = {
      {{1.0, 0.08, 0.02}, {0.10, 1.0, 0.10}, {0.02, 0.12, 1.0}}};
  double noiseSigma = 0;
  double ambient = 18;
  double ambientTexture = 10;
  // Light the LEDs spill onto their surroundings: the whole picture rises
  // by this much per fully lit LED (per channel, through the crosstalk), at
  // most by `glowCap`.
  double glowPerLed = 0;
  double glowCap = 60;
  // The share of a spot's light beyond saturation (255) that spreads round
  // its core, over three times the spot's width: a clipped core blooms.
  double bloom = 0;
  uint64_t seed = 1;
};

// A light source in the picture: position and emitted colour (0 ... 1 per
// red, green, blue), with an optional dim mirror image.
struct Emitter {
  double x = 0;
  double y = 0;
  std::array<double, 3> light{};
  double reflectionGain = 0;
  double reflectionDx = 0;
  double reflectionDy = 0;
};

class CameraImager {
 public:
  explicit CameraImager(const ImagerOptions& options);

  // Renders the emitters, the background shifted by (dx, dy) and scaled by
  // `brightness` (a longer exposure, more gain), noise scaled by
  // `noiseGain`, and returns the three planes (R, G, B).
  const std::array<std::vector<uint8_t>, 3>& render(
      std::span<const Emitter> emitters,
      double dx,
      double dy,
      double brightness = 1,
      double noiseGain = 1);
  const ImagerOptions& options() const { return options_; }

 private:
  ImagerOptions options_;
  std::array<std::vector<float>, 3> ambient_;
  std::array<std::vector<float>, 3> accum_;
  std::array<std::vector<uint8_t>, 3> planes_;
  std::vector<float> gauss_;
  uint64_t noiseState_;
};

}  // namespace pxo::sim
