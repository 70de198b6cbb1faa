#include "sim/decode_scorer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace pxo::sim {

namespace {

double quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t index =
      std::min(values.size() - 1,
               static_cast<size_t>(q * static_cast<double>(values.size())));
  return values[index];
}

}  // namespace

std::string DecodeScore::summary() const {
  char text[256];
  std::snprintf(
      text,
      sizeof text,
      "%d LEDs, %d visible: %d correct (%.2f%%), %d wrong, %d missed, %d "
      "estimated; error median %.2f px, p95 %.2f px, estimated %.2f px",
      leds,
      visible,
      correct,
      100 * correctFraction(),
      wrong,
      missed,
      estimated,
      medianErrorPx,
      p95ErrorPx,
      meanEstimatedErrorPx);
  if (apart == 0) return text;
  return std::string(text) + "; " + std::to_string(correctApart) + " of " +
         std::to_string(apart) + " apart from the others correct";
}

namespace {

// Each visible LED's distance to its nearest visible neighbour (infinite
// when it has none).
std::vector<double> nearestVisible(std::span<const TruthLed> truth) {
  std::vector<double> nearest(truth.size(), INFINITY);
  for (size_t i = 0; i < truth.size(); ++i) {
    if (!truth[i].visible) continue;
    for (size_t j = 0; j < truth.size(); ++j)
      if (j != i && truth[j].visible)
        nearest[i] = std::min(
            nearest[i],
            std::hypot(truth[j].x - truth[i].x, truth[j].y - truth[i].y));
  }
  return nearest;
}

}  // namespace

double crowdedShare(std::span<const TruthLed> truth, double distancePx) {
  const std::vector<double> nearest = nearestVisible(truth);
  int32_t visible = 0, crowded = 0;
  for (size_t i = 0; i < truth.size(); ++i) {
    if (!truth[i].visible) continue;
    ++visible;
    if (nearest[i] < distancePx) ++crowded;
  }
  return visible ? double(crowded) / visible : 0;
}

DecodeScore scoreDecode(std::span<const TruthLed> truth,
                        std::span<const DecodedLed> decoded,
                        double apartPx) {
  DecodeScore score;
  score.leds = static_cast<int32_t>(truth.size());
  std::vector<double> nearest;
  for (size_t i = 0; i < truth.size(); ++i) {
    double best = INFINITY;
    // Neighbours in ID order are the nearest in practice; look a little
    // further to be safe without an O(n²) scan.
    for (size_t j = (i > 64 ? i - 64 : 0); j < std::min(truth.size(), i + 65);
         ++j)
      if (j != i)
        best = std::min(
            best, std::hypot(truth[j].x - truth[i].x, truth[j].y - truth[i].y));
    if (std::isfinite(best)) nearest.push_back(best);
  }
  score.tolerancePx = std::max(3.0, 0.3 * quantile(nearest, 0.5));

  std::vector<uint8_t> observed(truth.size() + 1, 0),
      correct(truth.size() + 1, 0);
  std::vector<double> errors, estimatedErrors;
  for (const DecodedLed& led : decoded) {
    bool known = led.id >= 1 && static_cast<size_t>(led.id) <= truth.size();
    double error = known ? std::hypot(led.x - truth[led.id - 1].x,
                                      led.y - truth[led.id - 1].y)
                         : INFINITY;
    if (led.estimated) {
      ++score.estimated;
      if (known) estimatedErrors.push_back(error);
      continue;
    }
    if (known) observed[static_cast<size_t>(led.id)] = 1;
    if (known && error <= score.tolerancePx) {
      ++score.correct;
      correct[static_cast<size_t>(led.id)] = 1;
      errors.push_back(error);
    } else {
      ++score.wrong;
    }
  }
  const std::vector<double> apartFrom =
      apartPx > 0 ? nearestVisible(truth) : std::vector<double>();
  for (size_t i = 0; i < truth.size(); ++i) {
    if (!truth[i].visible) continue;
    ++score.visible;
    if (!observed[i + 1]) ++score.missed;
    if (apartPx > 0 && apartFrom[i] >= apartPx) {
      ++score.apart;
      if (correct[i + 1]) ++score.correctApart;
    }
  }
  score.medianErrorPx = quantile(errors, 0.5);
  score.p95ErrorPx = quantile(errors, 0.95);
  double sum = 0;
  for (double e : estimatedErrors) sum += e;
  score.meanEstimatedErrorPx =
      estimatedErrors.empty()
          ? 0
          : sum / static_cast<double>(estimatedErrors.size());
  return score;
}

}  // namespace pxo::sim
