#pragma once

#include "decode/decode_types.h"
#include "decode/image_ops.h"
#include "decode/shake.h"

#include <cstdint>
#include <span>
#include <vector>

// The LED decoder: from the extracted pattern frames of a scan to one
// record per LED with its ID, sub-pixel position, the camera channel it was
// read in, how strong and certain the reading was, and whether the position
// was measured or estimated from its ID neighbours.
//
// Stages: camera shake (shake.h); per camera channel a signal image (how
// much brighter than the baseline a pixel ever gets) and its local maxima;
// the camera's colour order; at every candidate the Gray code read from the
// bit frames and checked with parity; several shake hypotheses decoded in
// parallel and merged by consensus; the ID-order neighbour check, re-reading
// missing IDs at predicted spots, sub-pixel refinement and estimation of the
// rest (id_geometry.h).
//
// Thread use: decodeLeds may be called from any thread and keeps no state;
// it creates and joins its own worker threads.
//
//   DecodeOptions options = defaultDecodeOptions();
//   options.baselineFrame = 0; options.floodFrames = {1, 2, 3};
//   options.width = w; options.height = h; options.ledCount = n;
//   std::vector<DecodedLed> leds(n);
//   int32_t count = decodeLeds(frames, times, tables, options, leds);

namespace pxo {

// Decodes the frames. With adaptiveThresholds the peak, metric and bit
// margin thresholds follow the LEDs: each colour's is scaled by how bright
// the channel's lit spots are against twice its peak threshold (at most 1),
// and kept above floors set by the noise measured between the frames
// (frameNoiseSigma), so dim props decode without letting noise through.
// Returns the number of records written to `out`
// (ascending ID, at most out.size() and ledCount), or -1 with `error` (when
// given) saying why: no baseline or flood frame among the frames, a frame
// smaller than the decode size, or options that fail their check. 0 is a
// valid result: nothing decoded (also for an empty frame size or no LEDs).
[[nodiscard]] int32_t decodeLeds(std::span<const FramePlanes> frames,
                                 std::span<const double> times,
                                 const FrameTables& tables,
                                 const DecodeOptions& options,
                                 std::span<DecodedLed> out,
                                 DecodeStats* stats = nullptr,
                                 DecodeError* error = nullptr,
                                 SimdMode mode = SimdMode::kAuto);

// One code reading at a spot.
struct CodeReading {
  int32_t code = 0;    // the LED ID (Gray code converted to binary)
  int32_t metric = 0;  // sum of the bit margins (and the parity's)
  // 0 no parity frames, 1 agrees, 2 disagrees (the weakest bit flipped
  // when the parity was at least as clear: parityCorrected)
  int32_t parityStatus = 0;
  bool parityCorrected = false;
  std::vector<std::pair<int32_t, int32_t>> bits;  // per bit: (P, N)

  int32_t smallestMargin() const;
  // Whether every bit (but the one the parity corrected) is read with at
  // least `margin` between its frame and its complement, and a parity that
  // disagrees was mended: a reading that is not is no ID, only a guess.
  bool clearAt(int32_t margin) const;
};

// Reads the code at (x, y): per bit, the window maxima of the bit frames
// against those of their complements, summed over the passes; pass p reads
// camera channel passChannels[p] (all `channel` when empty).
CodeReading readLedCode(std::span<const FramePlanes> frames,
                        const FrameTables& tables,
                        const TranslationField& field,
                        int32_t width,
                        int32_t height,
                        int32_t x,
                        int32_t y,
                        int32_t channel,
                        int32_t readRadius,
                        std::span<const int32_t> passChannels = {});

// The signal image of camera channel `channel`: per pixel p, the largest
// brightening frame_f(p + shift of f at p, rounded) - baseline(p) over the
// frames of `frameList`, at most 255.
std::vector<uint8_t> buildSignalImage(std::span<const FramePlanes> frames,
                                      int32_t width,
                                      int32_t height,
                                      int32_t baselineFrame,
                                      const TranslationField& field,
                                      int32_t channel,
                                      std::span<const int32_t> frameList,
                                      SimdMode mode = SimdMode::kAuto);

// The sensor noise (σ of one frame, camera values) in channel `channel`,
// estimated robustly from the differences between two frames of the same
// scene: the lower quartile of the absolute differences, as for a normal
// distribution. Pixels that changed (lit LEDs) are outliers it ignores while
// they cover under about two thirds of the picture. 0 for frames of
// different sizes or a channel outside 0 ... 2.
double frameNoiseSigma(const FramePlanes& a,
                       const FramePlanes& b,
                       int32_t channel);

// The binary value of a Gray code.
uint32_t grayToBinary(uint32_t gray);

// The colour-order permutations, in the order ties are broken.
inline constexpr int32_t kColourOrders[6][3] = {
    {0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};

}  // namespace pxo
