#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The decoder's input and output records.

namespace pxo {

// One extracted frame as three 8-bit planes (red, green, blue), each
// width × height bytes, row-major, top row first, no padding.
struct FramePlanes {
  std::array<std::vector<uint8_t>, 3> plane;
};

// Where the decoder finds each bit: frame indices (or -1) from the scan
// plan's decoder tables.
struct FrameTables {
  int32_t idBits = 0;
  int32_t passes = 1;
  std::vector<int32_t> bitFrames;               // entry b × passes + p
  std::vector<int32_t> bitComplementFrames;     // same layout
  std::vector<int32_t> parityFrames;            // per pass; may be empty
  std::vector<int32_t> parityComplementFrames;  // per pass; may be empty

  int32_t bit(int32_t b, int32_t p) const {
    return at(bitFrames, b * passes + p);
  }
  int32_t bitComplement(int32_t b, int32_t p) const {
    return at(bitComplementFrames, b * passes + p);
  }
  int32_t parity(int32_t p) const { return at(parityFrames, p); }
  int32_t parityComplement(int32_t p) const {
    return at(parityComplementFrames, p);
  }

 private:
  static int32_t at(const std::vector<int32_t>& table, int32_t i) {
    return i >= 0 && static_cast<size_t>(i) < table.size() ? table[i] : -1;
  }
};

struct DecodeOptions {
  int32_t baselineFrame = -1;
  std::array<int32_t, 3> floodFrames = {-1, -1, -1};  // red, green, blue
  int32_t width = 0;
  int32_t height = 0;
  double refWidth = 0;  // size the orientation prior's focal lengths use
  double refHeight = 0;
  int32_t ledCount = 0;
  int32_t shakeDownsample = 4;
  int32_t shakeSearchRadius = 12;  // reduced pixels
  int32_t shakeDisabled = 0;
  int32_t outlierStep = 50;  // pixels of mean shift between frames
  int32_t peakRadius = 6;
  std::array<int32_t, 3> peakThreshold = {80, 80, 40};
  int32_t maxPeaks = 1500;  // candidates per channel image
  int32_t readRadius = 2;
  int32_t minMetric = 500;
  int32_t minBitMargin = 15;
  int32_t minMetricBlue = 250;   // below 1: minMetric
  int32_t minBitMarginBlue = 8;  // below 1: minBitMargin
  int32_t tilesX = 4;
  int32_t tilesY = 4;
  const double* orientationPrior = nullptr;  // 3 angles per frame
  double priorFocalX = 0;
  double priorFocalY = 0;
  const int32_t* passShifts = nullptr;  // one per pass
  double globalFieldBelow = 0.0;
  double driftPrior = 30.0;
  int32_t multiHypothesis = 1;
  int32_t passRescue = 1;
  int32_t trimTrailingEstimates = 1;
  // The colour order to read with, as an index into kColourOrders; -1:
  // found from the floods and the codes.
  int32_t colourOrder = -1;
  // 1: the thresholds above are for LEDs that light their spots brightly;
  // when the lit spots are dimmer, each is lowered in proportion, but never
  // below what the frames' own noise needs (see decodeLeds).
  int32_t adaptiveThresholds = 1;

  // True when the options can be decoded with: a frame size and LED count
  // of at least 1, the baseline and every flood frame set, and the search
  // and threshold fields within their ranges. Otherwise false with a
  // message naming the first bad field ("peakRadius out of range").
  [[nodiscard]] bool check(std::string* error = nullptr) const;
};

// The defaults; the caller fills in the frames, size and LED count.
DecodeOptions defaultDecodeOptions();

// Why decodeLeds decoded nothing at all.
enum class DecodeError : int32_t {
  kNone = 0,
  kNoBaseline = 1,      // the baseline frame is not among the frames
  kNoFlood = 2,         // no flood frame is among the frames
  kFrameTooSmall = 3,   // a frame has fewer pixels than width × height
  kInvalidOptions = 4,  // DecodeOptions::check failed
};

// "no baseline frame", "no flood frame", "frame smaller than the decode
// size", "invalid decode options"; "" for kNone.
const char* decodeErrorText(DecodeError error);

struct DecodedLed {
  int32_t id = 0;
  double x = 0;
  double y = 0;
  float normX = 0;
  float normY = 0;
  int32_t channel = 0;     // camera channel it was read in; 0 if estimated
  int32_t signal = 0;      // signal image value at the spot
  int32_t confidence = 0;  // code metric of the accepted reading
  int32_t estimated = 0;   // 1: interpolated, not read

  int32_t score() const { return 5 * signal + confidence; }
};

struct DecodeStats {
  int32_t signalPeakCount = 0;
  std::array<int32_t, 8> signalHistogram{};
  std::vector<double> frameTranslations;  // x, y per frame
  std::vector<int32_t> outlierFrames;
  int32_t outlierCount = 0;
  double maxTileDeviation = 0;
  int32_t colourOrder = 0;  // the kColourOrders index the LEDs were read in
  // Readings where two LEDs' spots overlapped so much that neither could be
  // told from the other: not taken as IDs (the LEDs were estimated).
  int32_t overlapping = 0;
};

}  // namespace pxo
