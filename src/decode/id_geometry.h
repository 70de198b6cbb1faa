#pragma once

#include <cstdint>
#include <span>
#include <vector>

// Geometry along the ID order. LEDs are wired in a chain, so consecutive IDs
// are usually neighbours in the picture: a position far off the line of its
// ID neighbours is a misread, and an LED that could not be read lies between
// its ID neighbours. Pure functions on lists of (ID, position).

namespace pxo {

struct IdPoint {
  int32_t id = 0;
  int32_t x = 0;
  int32_t y = 0;
};

struct IdPointF {
  int32_t id = 0;
  double x = 0;
  double y = 0;
};

struct EstimatedPoint {
  int32_t id = 0;
  double x = 0;
  double y = 0;
  float normX = 0;
  float normY = 0;
};

// Presence of IDs 1 ... N (entry id; entry 0 unused).
struct IdNeighbours {
  int32_t below = 0;  // nearest present ID among k - 1 ... k - 6, or 0
  int32_t above = 0;  // nearest present ID among k + 1 ... k + 6, or 0
};

inline constexpr int32_t kNeighbourReach = 6;

// The nearest present IDs below and above `k` within six IDs.
IdNeighbours findIdNeighbours(std::span<const uint8_t> present,
                              int32_t ledCount,
                              int32_t k);

// IDs to keep, ascending, at most `capacity`: an ID more than 4 × the median
// spacing of consecutive IDs away from the midpoint of its ID neighbours is
// dropped. Out-of-range and repeated IDs are ignored (the first occurrence
// counts).
std::vector<int32_t> rejectIdOutliers(std::span<const IdPoint> points,
                                      int32_t ledCount,
                                      size_t capacity);

// Positions for the IDs 1 ... N that were not measured, ascending, at most
// `capacity`: interpolated (a chordal Catmull-Rom spline where two
// neighbours on each side are close enough, else straight lines) or
// extrapolated, clamped into the image.
std::vector<EstimatedPoint> estimateMissingIds(
    std::span<const IdPointF> measured,
    int32_t ledCount,
    int32_t width,
    int32_t height,
    size_t capacity);

// The element at index n / 2 of the sorted values; `fallback` when empty.
double upperMedian(std::vector<double> values, double fallback);

}  // namespace pxo
