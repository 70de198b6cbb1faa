#pragma once

#include "decode/decode_types.h"

#include <cstdint>
#include <span>
#include <string>

// Decoder output against the ground truth of a synthetic scene.

namespace pxo::sim {

struct TruthLed {
  double x = 0;
  double y = 0;
  bool visible = true;
};

struct DecodeScore {
  int32_t leds = 0;
  int32_t visible = 0;
  int32_t correct = 0;    // observed, right ID, within the tolerance
  int32_t wrong = 0;      // observed but not correct
  int32_t missed = 0;     // visible without an observed record
  int32_t estimated = 0;  // estimated records
  double tolerancePx = 0;
  // Visible LEDs with no other visible LED nearer than the `apartPx` the
  // score was asked for, and how many of them are correct.
  int32_t apart = 0;
  int32_t correctApart = 0;
  double medianErrorPx = 0;  // of correct records
  double p95ErrorPx = 0;
  double meanEstimatedErrorPx = 0;
  // Where the truth was moved to meet the decoder's frame: the camera's
  // motion at the decoder's reference frame (decode-frame pixels).
  double referenceShiftX = 0;
  double referenceShiftY = 0;

  double correctFraction() const {
    return visible ? double(correct) / visible : 0;
  }
  double wrongFraction() const { return visible ? double(wrong) / visible : 0; }
  std::string summary() const;
};

// An observed record is correct when its ID is right and it lies within
// max(3 px, 0.3 × the median distance from each LED to its nearest
// neighbour) of the true spot.
DecodeScore scoreDecode(std::span<const TruthLed> truth,
                        std::span<const DecodedLed> decoded,
                        double apartPx = 0);

// The share of visible LEDs whose nearest visible neighbour is nearer than
// `distancePx`: how crowded a prop looks.
double crowdedShare(std::span<const TruthLed> truth, double distancePx);

}  // namespace pxo::sim
