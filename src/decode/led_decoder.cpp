#include "decode/led_decoder.h"

#include "decode/id_geometry.h"
#include "decode/nearest.h"
#include "decode/parallel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <thread>

namespace pxo {

DecodeOptions defaultDecodeOptions() { return DecodeOptions{}; }

bool DecodeOptions::check(std::string* error) const {
  auto bad = [&](const char* field) {
    if (error) *error = std::string(field) + " out of range";
    return false;
  };
  auto within = [](double v, double lo, double hi) {
    return std::isfinite(v) && v >= lo && v <= hi;
  };
  if (width < 1) return bad("width");
  if (height < 1) return bad("height");
  if (ledCount < 1) return bad("ledCount");
  if (baselineFrame < 0) return bad("baselineFrame");
  if (std::none_of(floodFrames.begin(), floodFrames.end(), [](int32_t f) {
        return f >= 0;
      }))
    return bad("floodFrames");
  if (!within(refWidth, 0, 1e6) || !within(refHeight, 0, 1e6))
    return bad("refWidth");
  if (shakeDownsample < 1 || shakeDownsample > 64)
    return bad("shakeDownsample");
  if (shakeSearchRadius < 0 || shakeSearchRadius > 256)
    return bad("shakeSearchRadius");
  if (outlierStep < 0) return bad("outlierStep");
  if (peakRadius < 0 || peakRadius > 64) return bad("peakRadius");
  for (int32_t t : peakThreshold)
    if (t < 0 || t > 255) return bad("peakThreshold");
  if (maxPeaks < 1 || maxPeaks > 1000000) return bad("maxPeaks");
  if (readRadius < 0 || readRadius > 32) return bad("readRadius");
  if (tilesX < 1 || tilesX > 64) return bad("tilesX");
  if (tilesY < 1 || tilesY > 64) return bad("tilesY");
  if (!within(priorFocalX, 0, 1e9) || !within(priorFocalY, 0, 1e9))
    return bad("priorFocal");
  if (!within(globalFieldBelow, -1e9, 1e9)) return bad("globalFieldBelow");
  if (!within(driftPrior, 0, 1e9)) return bad("driftPrior");
  if (colourOrder < -1 || colourOrder > 5) return bad("colourOrder");
  return true;
}

const char* decodeErrorText(DecodeError error) {
  switch (error) {
    case DecodeError::kNone:
      return "";
    case DecodeError::kNoBaseline:
      return "no baseline frame";
    case DecodeError::kNoFlood:
      return "no flood frame";
    case DecodeError::kFrameTooSmall:
      return "frame smaller than the decode size";
    case DecodeError::kInvalidOptions:
      return "invalid decode options";
  }
  return "";
}

uint32_t grayToBinary(uint32_t gray) {
  uint32_t value = gray;
  for (uint32_t shifted = gray >> 1; shifted; shifted >>= 1) value ^= shifted;
  return value;
}

int32_t CodeReading::smallestMargin() const {
  int32_t smallest = INT32_MAX;
  for (auto [p, n] : bits) smallest = std::min(smallest, std::abs(p - n));
  return bits.empty() ? 0 : smallest;
}

bool CodeReading::clearAt(int32_t margin) const {
  if (parityStatus == 2 && !parityCorrected) return false;
  // The corrected bit was the weakest: it alone may be unclear.
  int32_t unclear = 0;
  for (auto [p, n] : bits)
    if (std::abs(p - n) < margin) ++unclear;
  return unclear <= (parityCorrected ? 1 : 0);
}

double frameNoiseSigma(const FramePlanes& a,
                       const FramePlanes& b,
                       int32_t channel) {
  if (channel < 0 || channel > 2) return 0;
  const std::vector<uint8_t>& pa = a.plane[static_cast<size_t>(channel)];
  const std::vector<uint8_t>& pb = b.plane[static_cast<size_t>(channel)];
  if (pa.empty() || pa.size() != pb.size()) return 0;
  std::array<size_t, 256> histogram{};
  for (size_t i = 0; i < pa.size(); ++i)
    ++histogram[pa[i] > pb[i] ? pa[i] - pb[i] : pb[i] - pa[i]];
  // The lower quartile of |a - b|, a difference of k standing for
  // [k - 0.5, k + 0.5): the changed pixels may be up to about two thirds.
  const double quarter = static_cast<double>(pa.size()) / 4;
  double below = 0, quartile = 255;
  for (size_t k = 0; k < histogram.size(); ++k) {
    const auto n = static_cast<double>(histogram[k]);
    if (n > 0 && below + n >= quarter) {
      const double lo = k == 0 ? 0.0 : static_cast<double>(k) - 0.5;
      const double hi = static_cast<double>(k) + 0.5;
      quartile = lo + (quarter - below) / n * (hi - lo);
      break;
    }
    below += n;
  }
  // |a - b| of two frames with noise σ each: a normal of σ√2, a quarter of
  // whose absolute values lie below 0.3186 σ√2.
  return quartile / (0.3186 * std::sqrt(2.0));
}

namespace {

// Adapted thresholds never fall below these multiples of the noise σ: a
// signal-image peak (the largest of many frame differences), a code's
// metric per bit and pass, and one bit's margin per pass.
constexpr double kPeakSigmas = 6;
constexpr double kMetricSigmas = 3;
constexpr double kMarginSigmas = 2;
// Re-read IDs look for their own spot this far (pixels) round the
// prediction.
constexpr int32_t kRescueSearch = 4;
// Nor a peak below this, whatever the noise.
constexpr int32_t kLowestPeakThreshold = 5;
// A camera value this high is clipped; a clipped core wider than this
// radius is no single LED's.
constexpr int kClippedValue = 250;
constexpr int32_t kMaxCoreRadius = 16;
// A core is round when it fills this share of the circle through its
// farthest pixel (two touching discs fill about half).
constexpr double kRoundCoreShare = 0.7;
constexpr double kPi = 3.14159265358979323846;
// An LED is told from what overlaps it where, in the frames that leave it
// dark, no more than this share of its own light shows (plus the noise).
constexpr double kOverlapShare = 0.3;
constexpr double kOverlapNoiseSigmas = 4;
// And its own light must stand this many noise σ above the rest.
constexpr double kShowsSigmas = 1;
// Where another LED's light reaches this share of an LED's own, its place
// is taken from its own light alone, when that moves it more than
// kCentreMovedPx (pixels).
constexpr double kCrowdedShare = 0.25;
constexpr double kCentreMovedPx = 1.0;
// How far (pixels) round a reading an LED's own light is looked for.
constexpr int32_t kOwnLightRadius = 5;
// Most LEDs are settled within this radius.
constexpr int32_t kQuickLookRadius = 2;
// An LED's own light peaks within this reach (pixels, either way) of the
// spot its code was read at; further off, the code was read at another
// LED's spot from the light of several.
constexpr int32_t kOwnPeakReach = 2;
// The window (radius, pixels) in which a dimmer LED near a candidate is
// still a peak of its own.
constexpr int32_t kClosePeakRadius = 2;

struct Candidate {
  int32_t x;
  int32_t y;
  uint8_t value;
};

struct LedHit {
  int32_t id = 0;
  int32_t x = 0;
  int32_t y = 0;
  int32_t channel = 0;
  int32_t signal = 0;
  int32_t metric = 0;
  // The shake hypothesis's field the spot was read with.
  const TranslationField* field = nullptr;
  int32_t score() const { return 5 * signal + metric; }
};

using HitMap = std::map<int32_t, LedHit>;

uint8_t windowMax(const std::vector<uint8_t>& plane,
                  int32_t width,
                  int32_t height,
                  int32_t cx,
                  int32_t cy,
                  int32_t r) {
  int32_t x0 = std::max(cx - r, 0), x1 = std::min(cx + r, width - 1);
  int32_t y0 = std::max(cy - r, 0), y1 = std::min(cy + r, height - 1);
  uint8_t m = 0;
  for (int32_t y = y0; y <= y1; ++y) {
    const uint8_t* row = plane.data() + static_cast<size_t>(y) * width;
    for (int32_t x = x0; x <= x1; ++x) m = std::max(m, row[x]);
  }
  return m;
}

// The signal images and candidate lists of one shake hypothesis.
struct Hypothesis {
  TranslationField field;
  std::array<std::vector<uint8_t>, 3> signal;
  std::array<std::vector<Candidate>, 3> candidates;
  HitMap hits;
};

// What one ID's frames show round a spot, per pixel of a square window,
// as brightness above the baseline: `lit`, the second least among the
// frames that light the ID (no other LED is lit in all of those, so this
// is its own light), and `dark`, the second most among the frames that
// leave it dark (what else shines there). The second, not the extreme, so
// that one frame caught mid-change spoils neither.
constexpr auto kOwnLightCells =
    static_cast<size_t>(2 * kOwnLightRadius + 1) * (2 * kOwnLightRadius + 1);
struct OwnLight {
  using Image = std::array<int32_t, kOwnLightCells>;
  int32_t x0 = 0, y0 = 0, width = 0, height = 0;
  Image lit{}, dark{};
  bool empty() const { return width < 1 || height < 1; }
  size_t cells() const {
    return empty() ? 0 : static_cast<size_t>(width) * height;
  }
  int32_t at(const Image& image, int32_t x, int32_t y) const {
    return image[static_cast<size_t>(y - y0) * width + (x - x0)];
  }
};

class Decoder {
 public:
  Decoder(std::span<const FramePlanes> frames,
          const FrameTables& tables,
          const DecodeOptions& options,
          SimdMode mode)
      : frames_(frames),
        tables_(tables),
        options_(options),
        mode_(mode),
        width_(options.width),
        height_(options.height),
        ledCount_(options.ledCount) {
    const int32_t passes = std::max(tables.passes, 1);
    if (options.passShifts) {
      for (int32_t p = 0; p < passes; ++p) {
        shifts_.push_back(((options.passShifts[p] % 3) + 3) % 3);
        if (shifts_.back() != 0) rotating_ = true;
      }
    }
    // The frames whose brightness above the baseline makes the signal images.
    auto add = [&](std::vector<int32_t>& list, int32_t f) {
      if (valid(f)) list.push_back(f);
    };
    auto passFrames = [&](int32_t p) {
      std::vector<int32_t> list;
      for (int32_t b = 0; b < tables.idBits; ++b) {
        add(list, tables.bit(b, p));
        add(list, tables.bitComplement(b, p));
      }
      add(list, tables.parity(p));
      add(list, tables.parityComplement(p));
      return list;
    };
    if (rotating_) {
      signalFrames_ = passFrames(0);
    } else {
      for (int32_t p = 0; p < passes; ++p)
        for (int32_t b = 0; b < tables.idBits; ++b) {
          add(signalFrames_, tables.bit(b, p));
          add(signalFrames_, tables.bitComplement(b, p));
        }
      for (int32_t p = 0; p < passes; ++p) {
        add(signalFrames_, tables.parity(p));
        add(signalFrames_, tables.parityComplement(p));
      }
    }
    for (int32_t p = 0; p < passes; ++p)
      passFrameLists_.push_back(passFrames(p));
    for (size_t c = 0; c < 3; ++c) {
      const bool blue = c == 2;
      peak_[c] = options.peakThreshold[c];
      metric_[c] = blue && options.minMetricBlue >= 1 ? options.minMetricBlue
                                                      : options.minMetric;
      margin_[c] = blue && options.minBitMarginBlue >= 1
                       ? options.minBitMarginBlue
                       : options.minBitMargin;
      rescueMetric_[c] = std::max(options.minMetric / 4, 100);
      rescueMargin_[c] = options.minBitMargin;
    }
  }

  int32_t run(std::span<DecodedLed> out,
              DecodeStats* stats,
              const ShakeResult& shake);

 private:
  // The steps of run, in order.
  void preparePrimary(Hypothesis* primary,
                      const ShakeResult& shake,
                      DecodeStats* stats);
  std::vector<Hypothesis> otherHypotheses(const Hypothesis& primary) const;
  HitMap mergeHypotheses(const Hypothesis& primary,
                         const std::vector<Hypothesis>& others) const;
  HitMap checkIdNeighbours(const HitMap& merged) const;
  void rescueMissingIds(const Hypothesis& primary, HitMap* merged) const;
  bool rescueReadingHolds(const CodeReading& r,
                          int32_t id,
                          int32_t channel) const;
  std::pair<int32_t, int32_t> clearestPixelFor(
      const Hypothesis& primary,
      int32_t id,
      int32_t x,
      int32_t y,
      int32_t channel,
      const std::vector<int32_t>& passChannels) const;
  std::vector<DecodedLed> measureHits(const Hypothesis& primary,
                                      const HitMap& merged,
                                      int32_t* overlapping) const;
  void addEstimates(std::vector<DecodedLed>* records) const;

  bool valid(int32_t f) const {
    return f >= 0 && f < static_cast<int32_t>(frames_.size());
  }
  const std::vector<uint8_t>& plane(int32_t f, int32_t c) const {
    return frames_[static_cast<size_t>(f)].plane[static_cast<size_t>(c)];
  }

  std::vector<uint8_t> signalImage(const TranslationField& field,
                                   int32_t channel,
                                   std::span<const int32_t> frameList) const;
  std::vector<Candidate> findCandidates(const std::vector<uint8_t>& signal,
                                        int32_t threshold) const;
  std::vector<Candidate> closeCandidates(const std::vector<uint8_t>& signal,
                                         int32_t threshold) const;
  void buildImages(Hypothesis* h) const;
  void addPassRescueCandidates(Hypothesis* h) const;
  void findColourOrder(const Hypothesis& primary);
  int32_t floodColourOrder(const Hypothesis& primary,
                           std::array<int32_t, 3>* order) const;
  void codesColourOrder(const Hypothesis& primary,
                        std::array<int32_t, 3>* order) const;
  std::vector<int32_t> passChannelsFor(int32_t cameraChannel) const;
  CodeReading read(const TranslationField& field,
                   int32_t x,
                   int32_t y,
                   int32_t channel,
                   std::span<const int32_t> passChannels) const {
    return readLedCode(frames_,
                       tables_,
                       field,
                       width_,
                       height_,
                       x,
                       y,
                       channel,
                       options_.readRadius,
                       passChannels);
  }
  void decodeHypothesis(Hypothesis* h) const;
  bool clearAtAGlance(const TranslationField& field,
                      int32_t x,
                      int32_t y,
                      int32_t channel,
                      std::span<const int32_t> passChannels) const;
  OwnLight ownLight(const TranslationField& field,
                    int32_t id,
                    int32_t channel,
                    std::span<const int32_t> passChannels,
                    int32_t x,
                    int32_t y,
                    int32_t radius) const;
  bool measureHit(const Hypothesis& primary,
                  const LedHit& hit,
                  DecodedLed* led) const;
  bool toldApart(const TranslationField& field,
                 const LedHit& hit,
                 double* x,
                 double* y) const;
  bool clippedCoreCentre(const TranslationField& field,
                         int32_t id,
                         int32_t channel,
                         int32_t x,
                         int32_t y,
                         double* cx,
                         double* cy) const;
  void adaptThresholds(Hypothesis* primary);
  int32_t minMetricFor(int32_t channel) const {
    return metric_[static_cast<size_t>(channel)];
  }
  int32_t minMarginFor(int32_t channel) const {
    return margin_[static_cast<size_t>(channel)];
  }

  std::span<const FramePlanes> frames_;
  const FrameTables& tables_;
  const DecodeOptions& options_;
  SimdMode mode_;
  int32_t width_, height_, ledCount_;
  std::vector<int32_t> shifts_;
  bool rotating_ = false;
  std::vector<int32_t> signalFrames_;
  std::vector<std::vector<int32_t>> passFrameLists_;
  std::array<int32_t, 3> order_ = {0, 1, 2};
  std::array<int32_t, 3> inverse_ = {0, 1, 2};
  // The thresholds in force per camera channel: the options', or lower for
  // dim LEDs (adaptThresholds); the re-reading of missing IDs' own.
  std::array<int32_t, 3> peak_{}, metric_{}, margin_{};
  std::array<int32_t, 3> rescueMetric_{}, rescueMargin_{};
  // The camera noise (σ) per channel, between the baseline and a bit frame.
  std::array<double, 3> noise_{};
};

std::vector<uint8_t> Decoder::signalImage(
    const TranslationField& field,
    int32_t c,
    std::span<const int32_t> frameList) const {
  return buildSignalImage(frames_,
                          width_,
                          height_,
                          options_.baselineFrame,
                          field,
                          c,
                          frameList,
                          mode_);
}

std::vector<Candidate> Decoder::findCandidates(
    const std::vector<uint8_t>& signal, int32_t threshold) const {
  std::vector<uint8_t> dilated;
  dilateMax(signal, width_, height_, options_.peakRadius, &dilated, mode_);
  std::vector<Candidate> list;
  for (int32_t y = 0; y < height_; ++y) {
    const size_t row = static_cast<size_t>(y) * width_;
    for (int32_t x = 0; x < width_; ++x) {
      uint8_t v = signal[row + x];
      if (v >= threshold && v == dilated[row + x]) list.push_back({x, y, v});
    }
  }
  std::stable_sort(
      list.begin(), list.end(), [](const Candidate& a, const Candidate& b) {
        return a.value > b.value;
      });
  size_t keep =
      std::min<size_t>(static_cast<size_t>(std::max(options_.maxPeaks, 0)),
                       static_cast<size_t>(width_) * height_);
  if (list.size() > keep) list.resize(keep);
  return list;
}

void Decoder::buildImages(Hypothesis* h) const {
  parallelFor(3, [&](int32_t c) {
    h->signal[c] = signalImage(h->field, c, signalFrames_);
    h->candidates[c] = findCandidates(h->signal[c], peak_[c]);
  });
}

// The options' thresholds suit LEDs whose spots rise at least twice the peak
// threshold over the baseline. Per channel, the spots' typical rise (the
// median of the channel's share of the LEDs among the brightest signal
// peaks) scales the thresholds down when it is lower, but never below the
// noise floors: a dim prop's spots then still stand out, and noise does not.
void Decoder::adaptThresholds(Hypothesis* primary) {
  if (!options_.adaptiveThresholds) return;
  const int32_t base = options_.baselineFrame;
  std::vector<int32_t> probes;
  for (int32_t f : {tables_.bit(0, 0), tables_.bitComplement(0, 0)})
    if (valid(f) && f != base) probes.push_back(f);
  if (probes.empty()) return;
  const int32_t passes = std::max(tables_.passes, 1);
  const int32_t bits = tables_.idBits + (valid(tables_.parity(0)) ? 1 : 0);
  const auto share = static_cast<size_t>(std::max(ledCount_ / 3, 1));
  for (size_t c = 0; c < 3; ++c) {
    double sigma = INFINITY;
    for (int32_t f : probes)
      sigma = std::min(sigma,
                       frameNoiseSigma(frames_[static_cast<size_t>(base)],
                                       frames_[static_cast<size_t>(f)],
                                       static_cast<int32_t>(c)));
    const int32_t peakFloor =
        std::max(kLowestPeakThreshold,
                 static_cast<int32_t>(std::ceil(kPeakSigmas * sigma)));
    if (peakFloor >= peak_[c]) continue;
    std::vector<Candidate> all = findCandidates(primary->signal[c], peakFloor);
    if (all.empty()) continue;
    const int32_t typical = all[std::min(share, all.size()) / 2].value;
    const double scale = std::min(1.0, typical / (2.0 * std::max(peak_[c], 1)));
    if (scale >= 1.0) continue;
    auto scaled = [&](int32_t threshold, double floor) {
      return std::max(static_cast<int32_t>(std::ceil(floor)),
                      static_cast<int32_t>(std::lround(threshold * scale)));
    };
    const double metricFloor = bits * passes * kMetricSigmas * sigma;
    peak_[c] = scaled(peak_[c], peakFloor);
    metric_[c] = scaled(metric_[c], metricFloor);
    margin_[c] = scaled(margin_[c], passes * kMarginSigmas * sigma);
    rescueMargin_[c] = scaled(rescueMargin_[c], passes * kMarginSigmas * sigma);
    rescueMetric_[c] = scaled(rescueMetric_[c], metricFloor);
    std::erase_if(all, [&](const Candidate& k) { return k.value < peak_[c]; });
    primary->candidates[c] = std::move(all);
  }
}

void Decoder::addPassRescueCandidates(Hypothesis* h) const {
  if (!rotating_ || !options_.passRescue) return;
  struct Task {
    int32_t pass, cameraChannel, target;
  };
  std::vector<Task> tasks;
  for (int32_t g = 1; g < static_cast<int32_t>(shifts_.size()); ++g) {
    int32_t r = shifts_[g];
    if (r == 0) continue;
    for (int32_t k = 0; k < 3; ++k) {
      int32_t m = ((inverse_[k] - r) % 3 + 3) % 3;
      int32_t c = order_[m];
      if (c != k) tasks.push_back({g, k, c});
    }
  }
  std::vector<std::vector<Candidate>> found(tasks.size());
  parallelFor(static_cast<int32_t>(tasks.size()), [&](int32_t i) {
    const Task& t = tasks[i];
    std::vector<uint8_t> image =
        signalImage(h->field, t.cameraChannel, passFrameLists_[t.pass]);
    found[i] =
        findCandidates(image, peak_[static_cast<size_t>(t.cameraChannel)]);
  });
  for (size_t i = 0; i < tasks.size(); ++i) {
    auto& list = h->candidates[tasks[i].target];
    list.insert(list.end(), found[i].begin(), found[i].end());
  }
}

// The colour order the floods show: each flood's dominant camera channel
// at the candidates, by vote. Its confidence is the least margin of the
// three votes in percent; 0 when the floods do not give an order.
int32_t Decoder::floodColourOrder(const Hypothesis& primary,
                                  std::array<int32_t, 3>* order) const {
  std::vector<std::pair<int32_t, int32_t>> samples;
  for (const auto& list : primary.candidates)
    for (const Candidate& c : list) samples.push_back({c.x, c.y});
  int32_t confidence = 0;
  std::array<int32_t, 3> dominant{};
  for (int32_t k = 0; k < 3; ++k) {
    int32_t f = options_.floodFrames[k];
    if (!valid(f)) return 0;
    std::array<int32_t, 3> votes{};
    for (auto [x, y] : samples) {
      Shift s = shiftAt(primary.field, f, x, y);
      int32_t px = roundHalfAway(x + s.dx), py = roundHalfAway(y + s.dy);
      if (px < 0 || px >= width_ || py < 0 || py >= height_) continue;
      int32_t best = 0;
      uint8_t bestValue = 0;
      for (int32_t c = 0; c < 3; ++c) {
        uint8_t v = windowMax(
            plane(f, c), width_, height_, px, py, options_.readRadius);
        if (c == 0 || v > bestValue) {
          bestValue = v;
          best = c;
        }
      }
      ++votes[best];
    }
    int32_t top = 0;
    for (int32_t c = 1; c < 3; ++c)
      if (votes[c] > votes[top]) top = c;
    int32_t other = 0;
    for (int32_t c = 0; c < 3; ++c)
      if (c != top) other = std::max(other, votes[c]);
    auto n = static_cast<int32_t>(std::max<size_t>(samples.size(), 1));
    int32_t margin = (votes[top] - other) * 100 / n;
    if (2 * votes[top] < static_cast<int32_t>(samples.size())) return 0;
    dominant[k] = top;
    confidence = k == 0 ? margin : std::min(confidence, margin);
  }
  std::array<int32_t, 3> sorted = dominant;
  std::sort(sorted.begin(), sorted.end());
  if (sorted != std::array<int32_t, 3>{0, 1, 2}) return 0;
  *order = dominant;
  return confidence;
}

// Lets the codes vote: the permutation that puts most read IDs' multiplex
// channel where they were seen, where it beats `order`.
void Decoder::codesColourOrder(const Hypothesis& primary,
                               std::array<int32_t, 3>* order) const {
  std::vector<std::pair<int32_t, int32_t>> pairs;
  for (int32_t c = 0; c < 3 && pairs.size() < 512; ++c)
    for (const Candidate& cand : primary.candidates[c]) {
      CodeReading r = read(primary.field, cand.x, cand.y, c, {});
      if (r.code >= 1 && r.code <= ledCount_ &&
          (r.parityStatus == 1 || r.parityStatus == 2))
        pairs.push_back({r.code, c});
      if (pairs.size() >= 512) break;
    }
  auto count = [&](const int32_t* perm) {
    int32_t n = 0;
    for (auto [code, c] : pairs)
      if (perm[(code - 1) % 3] == c) ++n;
    return n;
  };
  int32_t best = 0, bestCount = -1;
  for (int32_t i = 0; i < 6; ++i) {
    int32_t n = count(kColourOrders[i]);
    if (n > bestCount) {
      bestCount = n;
      best = i;
    }
  }
  if (bestCount > count(order->data()))
    *order = {
        kColourOrders[best][0], kColourOrders[best][1], kColourOrders[best][2]};
}

void Decoder::findColourOrder(const Hypothesis& primary) {
  if (options_.colourOrder >= 0) {
    for (int32_t l = 0; l < 3; ++l) {
      order_[l] = kColourOrders[options_.colourOrder][l];
      inverse_[order_[l]] = l;
    }
    return;
  }
  std::array<int32_t, 3> order = {0, 1, 2};
  if (floodColourOrder(primary, &order) < 30) codesColourOrder(primary, &order);
  order_ = order;
  for (int32_t l = 0; l < 3; ++l) inverse_[order_[l]] = l;
}

std::vector<int32_t> Decoder::passChannelsFor(int32_t cameraChannel) const {
  if (!rotating_) return {};
  std::vector<int32_t> channels;
  int32_t logical = inverse_[cameraChannel];
  for (int32_t shift : shifts_)
    channels.push_back(order_[(logical + shift) % 3]);
  return channels;
}

// A spot clipped flat is read anywhere on its plateau, most often at its
// first pixel: its position is the centre of its clipped core, moved back
// by the frame's shift. The core is taken in the LED's own channel, in the
// first-pass frames that light it and show about the smallest round
// clipped area there (an ID neighbour answers in another channel, an LED
// of the same channel is dark in some of those frames), at the median of
// their centres. False where the LED does not
// clip, or its core reaches past kMaxCoreRadius or is not round (cores of
// several LEDs run together).
bool Decoder::clippedCoreCentre(const TranslationField& field,
                                int32_t id,
                                int32_t channel,
                                int32_t x,
                                int32_t y,
                                double* cx,
                                double* cy) const {
  const uint32_t gray = uint32_t(id) ^ (uint32_t(id) >> 1);
  const int32_t side = 2 * kMaxCoreRadius + 1;
  std::vector<uint8_t> seen;
  std::vector<std::pair<int32_t, int32_t>> stack, core;
  struct Core {
    size_t size;
    double x, y;
  };
  std::vector<Core> cores;
  for (int32_t b = 0; b < tables_.idBits; ++b) {
    const int32_t f =
        (gray >> b) & 1u ? tables_.bit(b, 0) : tables_.bitComplement(b, 0);
    if (!valid(f)) continue;
    const std::vector<uint8_t>& p = plane(f, channel);
    const Shift shift = shiftAt(field, f, x, y);
    const int32_t px = roundHalfAway(x + shift.dx),
                  py = roundHalfAway(y + shift.dy);
    auto clippedAt = [&](int32_t qx, int32_t qy) {
      return qx >= 0 && qy >= 0 && qx < width_ && qy < height_ &&
             p[static_cast<size_t>(qy) * width_ + qx] >= kClippedValue;
    };
    if (!clippedAt(px, py)) continue;
    seen.assign(static_cast<size_t>(side) * side, 0);
    seen[static_cast<size_t>(kMaxCoreRadius) * side + kMaxCoreRadius] = 1;
    stack.assign(1, {px, py});
    core.clear();
    bool bounded = true;
    while (!stack.empty() && bounded) {
      const auto [qx, qy] = stack.back();
      stack.pop_back();
      core.push_back({qx, qy});
      for (auto [dx, dy] : {std::pair{1, 0}, {-1, 0}, {0, 1}, {0, -1}}) {
        const int32_t nx = qx + dx, ny = qy + dy;
        if (!clippedAt(nx, ny)) continue;
        const int32_t lx = nx - px + kMaxCoreRadius,
                      ly = ny - py + kMaxCoreRadius;
        if (lx < 0 || ly < 0 || lx >= side || ly >= side) {
          bounded = false;
          break;
        }
        uint8_t& mark = seen[static_cast<size_t>(ly) * side + lx];
        if (!mark) {
          mark = 1;
          stack.push_back({nx, ny});
        }
      }
    }
    if (!bounded) continue;
    double mx = 0, my = 0;
    for (auto [qx, qy] : core) {
      mx += qx;
      my += qy;
    }
    const auto n = static_cast<double>(core.size());
    mx /= n;
    my /= n;
    // One LED's core is round; two touching discs fill about half the
    // circle through their farthest pixel.
    double reach = 0;
    for (auto [qx, qy] : core)
      reach = std::max(reach, (qx - mx) * (qx - mx) + (qy - my) * (qy - my));
    if (n >= kRoundCoreShare * kPi * reach)
      cores.push_back({core.size(), mx - shift.dx, my - shift.dy});
  }
  if (cores.empty()) return false;
  // The frames whose core is about the smallest (the LED alone), and of
  // those the median place: one frame's shift a little off moves none.
  size_t least = SIZE_MAX;
  for (const Core& c : cores) least = std::min(least, c.size);
  std::vector<double> xs, ys;
  for (const Core& c : cores)
    if (4 * c.size <= 5 * least) {
      xs.push_back(c.x);
      ys.push_back(c.y);
    }
  *cx = upperMedian(xs, xs.front());
  *cy = upperMedian(ys, ys.front());
  return true;
}

OwnLight Decoder::ownLight(const TranslationField& field,
                           int32_t id,
                           int32_t channel,
                           std::span<const int32_t> passChannels,
                           int32_t x,
                           int32_t y,
                           int32_t radius) const {
  radius = std::clamp(radius, 0, kOwnLightRadius);
  OwnLight own;
  own.x0 = std::max(x - radius, 0);
  own.y0 = std::max(y - radius, 0);
  own.width = std::min(x + radius, width_ - 1) - own.x0 + 1;
  own.height = std::min(y + radius, height_ - 1) - own.y0 + 1;
  if (own.empty()) return own;
  const size_t n = own.cells();
  // Per pixel the two least values of the lit frames and the two most of
  // the dark ones.
  OwnLight::Image litLeast, litNext, darkMost, darkNext;
  litLeast.fill(INT32_MAX);
  litNext.fill(INT32_MAX);
  darkMost.fill(INT32_MIN);
  darkNext.fill(INT32_MIN);
  const uint32_t gray = uint32_t(id) ^ (uint32_t(id) >> 1);
  // The parity frames light an LED whose Gray code has odd parity: one of
  // odd ID.
  const bool odd = (id & 1) != 0;
  auto take = [&](int32_t f, int32_t c, bool lights) {
    if (!valid(f)) return;
    const std::vector<uint8_t>& p = plane(f, c);
    const std::vector<uint8_t>& base = plane(options_.baselineFrame, c);
    const Shift shift = shiftAt(field, f, x, y);
    const int32_t dx = roundHalfAway(shift.dx), dy = roundHalfAway(shift.dy);
    for (int32_t j = 0; j < own.height; ++j) {
      const int32_t qy = own.y0 + j, sy = qy + dy;
      if (sy < 0 || sy >= height_) continue;
      const uint8_t* from = p.data() + static_cast<size_t>(sy) * width_;
      const uint8_t* under = base.data() + static_cast<size_t>(qy) * width_;
      const size_t row = static_cast<size_t>(j) * own.width;
      const int32_t iFrom = std::max(0, -(own.x0 + dx)),
                    iTo = std::min(own.width, width_ - (own.x0 + dx));
      // The second least of a series: the lesser of the old second and
      // the greater of the old least and the new value (and in turn for
      // the most).
      if (lights) {
        for (int32_t i = iFrom; i < iTo; ++i) {
          const int32_t qx = own.x0 + i;
          const int32_t v = from[qx + dx] - under[qx];
          const size_t k = row + static_cast<size_t>(i);
          litNext[k] = std::min(litNext[k], std::max(litLeast[k], v));
          litLeast[k] = std::min(litLeast[k], v);
        }
      } else {
        for (int32_t i = iFrom; i < iTo; ++i) {
          const int32_t qx = own.x0 + i;
          const int32_t v = from[qx + dx] - under[qx];
          const size_t k = row + static_cast<size_t>(i);
          darkNext[k] = std::max(darkNext[k], std::min(darkMost[k], v));
          darkMost[k] = std::max(darkMost[k], v);
        }
      }
    }
  };
  const int32_t passes = std::max(tables_.passes, 1);
  for (int32_t p = 0; p < passes; ++p) {
    const int32_t c =
        passChannels.empty() ? channel : passChannels[static_cast<size_t>(p)];
    for (int32_t b = 0; b < tables_.idBits; ++b) {
      const bool on = (gray >> b) & 1u;
      take(tables_.bit(b, p), c, on);
      take(tables_.bitComplement(b, p), c, !on);
    }
    take(tables_.parity(p), c, odd);
    take(tables_.parityComplement(p), c, !odd);
  }
  for (size_t k = 0; k < n; ++k) {
    own.lit[k] = litNext[k] != INT32_MAX
                     ? litNext[k]
                     : (litLeast[k] != INT32_MAX ? litLeast[k] : 0);
    own.dark[k] = darkNext[k] != INT32_MIN
                      ? darkNext[k]
                      : (darkMost[k] != INT32_MIN ? darkMost[k] : 0);
  }
  return own;
}

// Where an LED's own light peaks in `own`: of the pixels within a tenth
// of the brightest (a clipped core's plateau), the one nearest their
// middle. {-1, -1} when nothing there is lit.
std::pair<int32_t, int32_t> ownPeak(const OwnLight& own) {
  int32_t brightest = INT32_MIN;
  for (size_t k = 0; k < own.cells(); ++k)
    brightest = std::max(brightest, own.lit[k]);
  if (brightest <= 0) return {-1, -1};
  double mx = 0, my = 0, n = 0;
  for (int32_t j = 0; j < own.height; ++j)
    for (int32_t i = 0; i < own.width; ++i)
      if (10 * own.lit[static_cast<size_t>(j) * own.width + i] >=
          9 * brightest) {
        mx += own.x0 + i;
        my += own.y0 + j;
        n += 1;
      }
  mx /= n;
  my /= n;
  std::pair<int32_t, int32_t> best{-1, -1};
  double nearest = INFINITY;
  for (int32_t j = 0; j < own.height; ++j)
    for (int32_t i = 0; i < own.width; ++i) {
      const int32_t qx = own.x0 + i, qy = own.y0 + j;
      const double d = std::hypot(qx - mx, qy - my);
      if (10 * own.at(own.lit, qx, qy) >= 9 * brightest && d < nearest) {
        nearest = d;
        best = {qx, qy};
      }
    }
  return best;
}

// Whether the LED read as `hit` is told from whatever overlaps it. Its own
// light must peak inside a window round the reading (a peak on the edge
// belongs to some other light), stand above the noise there, and in the
// frames that leave it dark little else may shine at that peak. A reading
// of two overlapping LEDs at once (a code made of bits of each) fails:
// wherever one of them shines, it shines in frames the reading calls dark.
// A small window settles most LEDs; the rest are looked at in a wider one.
// When another LED's light reaches into the centre's window, `x`, `y`
// become the centre of this LED's own light alone, where that moves them.
bool Decoder::toldApart(const TranslationField& field,
                        const LedHit& hit,
                        double* x,
                        double* y) const {
  double noise = 0;
  const std::vector<int32_t> passChannels = passChannelsFor(hit.channel);
  for (int32_t c : passChannels)
    noise = std::max(noise, noise_[static_cast<size_t>(c)]);
  noise = std::max(noise, noise_[static_cast<size_t>(hit.channel)]);
  enum class Verdict { kApart, kOverlapped, kLookWider };
  auto judge = [&](int32_t radius, bool widest) {
    const OwnLight own = ownLight(
        field, hit.id, hit.channel, passChannels, hit.x, hit.y, radius);
    if (own.empty()) return Verdict::kApart;
    const auto [bestX, bestY] = ownPeak(own);
    auto onEdge = [&](int32_t q, int32_t centre, int32_t limit) {
      return (q <= centre - radius && q > 0) ||
             (q >= centre + radius && q < limit - 1);
    };
    const Verdict no = widest ? Verdict::kOverlapped : Verdict::kLookWider;
    if (bestX < 0 || onEdge(bestX, hit.x, width_) ||
        onEdge(bestY, hit.y, height_))
      return no;
    if (std::abs(bestX - hit.x) > kOwnPeakReach ||
        std::abs(bestY - hit.y) > kOwnPeakReach)
      return Verdict::kOverlapped;
    const int32_t lit = own.at(own.lit, bestX, bestY),
                  dark = own.at(own.dark, bestX, bestY);
    if (lit - dark < kShowsSigmas * noise ||
        dark > kOverlapShare * lit + kOverlapNoiseSigmas * noise)
      return no;
    // Whether another LED shines into the window the centre is taken from.
    int32_t nearDark = 0;
    for (int32_t qy = std::max(bestY - 2, own.y0);
         qy <= std::min(bestY + 2, own.y0 + own.height - 1);
         ++qy)
      for (int32_t qx = std::max(bestX - 2, own.x0);
           qx <= std::min(bestX + 2, own.x0 + own.width - 1);
           ++qx)
        nearDark = std::max(nearDark, own.at(own.dark, qx, qy));
    if (nearDark < kCrowdedShare * lit + kOverlapNoiseSigmas * noise)
      return Verdict::kApart;
    // Another LED's light is near: the centre of this one's own, round its
    // clearest pixel.
    const OwnLight at =
        ownLight(field, hit.id, hit.channel, passChannels, bestX, bestY, 2);
    int32_t m = INT32_MAX;
    for (size_t k = 0; k < at.cells(); ++k) m = std::min(m, at.lit[k]);
    double sum = 0, sx = 0, sy = 0;
    for (int32_t j = 0; j < at.height; ++j)
      for (int32_t i = 0; i < at.width; ++i) {
        const int32_t v = at.lit[static_cast<size_t>(j) * at.width + i] - m;
        if (v <= 0) continue;
        sum += v;
        sx += (at.x0 + i) * double(v);
        sy += (at.y0 + j) * double(v);
      }
    const double ox = sum >= 1.0 ? sx / sum : bestX,
                 oy = sum >= 1.0 ? sy / sum : bestY;
    // Within a noise's reach of the spot's own centre the other light did
    // not move it: that centre, from every frame, is the steadier.
    if (std::hypot(ox - *x, oy - *y) > kCentreMovedPx) {
      *x = ox;
      *y = oy;
    }
    return Verdict::kApart;
  };
  const Verdict quick = judge(kQuickLookRadius, false);
  if (quick != Verdict::kLookWider) return quick == Verdict::kApart;
  return judge(kOwnLightRadius, true) == Verdict::kApart;
}

// Whether the parity frames and bit 0's frames tell on from off at a spot
// (by the channel's bit margin): a glance that spares the whole reading of
// the many close peaks a signal image smeared by an ill-fitting shake field
// holds, which read no code.
bool Decoder::clearAtAGlance(const TranslationField& field,
                             int32_t x,
                             int32_t y,
                             int32_t channel,
                             std::span<const int32_t> passChannels) const {
  const int32_t passes = std::max(tables_.passes, 1);
  auto sample = [&](int32_t f, int32_t pass) -> int32_t {
    if (!valid(f)) return 0;
    const int32_t c = static_cast<size_t>(pass) < passChannels.size()
                          ? passChannels[static_cast<size_t>(pass)]
                          : channel;
    const Shift s = shiftAt(field, f, x, y);
    return windowMax(plane(f, c),
                     width_,
                     height_,
                     roundHalfAway(x + s.dx),
                     roundHalfAway(y + s.dy),
                     options_.readRadius);
  };
  int32_t bitOn = 0, bitOff = 0, parityOn = 0, parityOff = 0;
  bool parity = false;
  for (int32_t p = 0; p < passes; ++p) {
    bitOn += sample(tables_.bit(0, p), p);
    bitOff += sample(tables_.bitComplement(0, p), p);
    if (valid(tables_.parity(p)) && valid(tables_.parityComplement(p))) {
      parity = true;
      parityOn += sample(tables_.parity(p), p);
      parityOff += sample(tables_.parityComplement(p), p);
    }
  }
  const int32_t margin = minMarginFor(channel);
  return std::abs(bitOn - bitOff) >= margin &&
         (!parity || std::abs(parityOn - parityOff) >= margin);
}

// Peaks of a signal image that stand out only nearby: the spot of an LED
// within a candidate's window but dimmer than it, whose own candidate that
// window suppressed (a wrapped prop's LEDs a few pixels apart).
std::vector<Candidate> Decoder::closeCandidates(
    const std::vector<uint8_t>& signal, int32_t threshold) const {
  if (options_.peakRadius <= kClosePeakRadius) return {};
  std::vector<uint8_t> wide, close;
  dilateMax(signal, width_, height_, options_.peakRadius, &wide, mode_);
  dilateMax(signal, width_, height_, kClosePeakRadius, &close, mode_);
  std::vector<Candidate> list;
  for (int32_t y = 0; y < height_; ++y) {
    const size_t row = static_cast<size_t>(y) * width_;
    for (int32_t x = 0; x < width_; ++x) {
      const uint8_t v = signal[row + x];
      if (v >= threshold && v == close[row + x] && v < wide[row + x])
        list.push_back({x, y, v});
    }
  }
  std::stable_sort(
      list.begin(), list.end(), [](const Candidate& a, const Candidate& b) {
        return a.value > b.value;
      });
  const auto keep = static_cast<size_t>(std::max(options_.maxPeaks, 0));
  if (list.size() > keep) list.resize(keep);
  return list;
}

void Decoder::decodeHypothesis(Hypothesis* h) const {
  for (int32_t c = 0; c < 3; ++c) {
    std::vector<int32_t> passChannels = passChannelsFor(c);
    std::vector<Candidate> all = h->candidates[c];
    for (const Candidate& k : closeCandidates(h->signal[c], peak_[c]))
      if (clearAtAGlance(h->field, k.x, k.y, c, passChannels)) all.push_back(k);
    for (const Candidate& cand : all) {
      CodeReading r = read(h->field, cand.x, cand.y, c, passChannels);
      if (r.code < 1 || r.code > ledCount_ || order_[(r.code - 1) % 3] != c)
        continue;
      if (r.metric < minMetricFor(c)) continue;
      if (!r.clearAt(minMarginFor(c))) continue;
      LedHit hit{r.code,
                 cand.x,
                 cand.y,
                 c,
                 h->signal[c][static_cast<size_t>(cand.y) * width_ + cand.x],
                 r.metric,
                 &h->field};
      auto [it, inserted] = h->hits.try_emplace(hit.id, hit);
      if (!inserted && hit.score() > it->second.score()) it->second = hit;
    }
  }
}

// The record of a hit: its spot refined to sub-pixel on the primary signal
// image (or the centre of a clipped core), then checked against what
// overlaps it. False when it cannot be told from another LED.
bool Decoder::measureHit(const Hypothesis& primary,
                         const LedHit& hit,
                         DecodedLed* led) const {
  const std::vector<uint8_t>& s =
      primary.signal[static_cast<size_t>(hit.channel)];
  int32_t x0 = std::max(hit.x - 2, 0), x1 = std::min(hit.x + 2, width_ - 1);
  int32_t y0 = std::max(hit.y - 2, 0), y1 = std::min(hit.y + 2, height_ - 1);
  uint8_t m = 255;
  for (int32_t y = y0; y <= y1; ++y)
    for (int32_t x = x0; x <= x1; ++x)
      m = std::min(m, s[static_cast<size_t>(y) * width_ + x]);
  double sum = 0, sx = 0, sy = 0;
  for (int32_t y = y0; y <= y1; ++y)
    for (int32_t x = x0; x <= x1; ++x) {
      int v = s[static_cast<size_t>(y) * width_ + x];
      if (v <= m) continue;
      sum += v - m;
      sx += x * double(v - m);
      sy += y * double(v - m);
    }
  led->id = hit.id;
  led->x = sum >= 1.0 ? sx / sum : hit.x;
  led->y = sum >= 1.0 ? sy / sum : hit.y;
  (void)clippedCoreCentre(
      primary.field, hit.id, hit.channel, hit.x, hit.y, &led->x, &led->y);
  if (!toldApart(*hit.field, hit, &led->x, &led->y)) return false;
  const double scale = std::max(width_, height_);
  led->normX = static_cast<float>(led->x / scale);
  led->normY = static_cast<float>(led->y / scale);
  led->channel = hit.channel;
  led->signal = hit.signal;
  led->confidence = hit.metric;
  return true;
}

// The primary hypothesis: the tiled field, or its mean when the tiles all
// move together. Its images give the noise, the thresholds, the signal's
// figures and the colour order every hypothesis reads with.
void Decoder::preparePrimary(Hypothesis* primary,
                             const ShakeResult& shake,
                             DecodeStats* stats) {
  primary->field = shake.field;
  if (options_.globalFieldBelow > 0 && shake.field.tileCount() > 1 && stats &&
      stats->maxTileDeviation < options_.globalFieldBelow)
    primary->field = shake.field.meanField();
  buildImages(primary);
  for (int32_t f : {tables_.bit(0, 0), tables_.bitComplement(0, 0)})
    if (valid(f) && f != options_.baselineFrame)
      for (size_t c = 0; c < 3; ++c)
        noise_[c] =
            std::max(noise_[c],
                     frameNoiseSigma(
                         frames_[static_cast<size_t>(options_.baselineFrame)],
                         frames_[static_cast<size_t>(f)],
                         static_cast<int32_t>(c)));
  adaptThresholds(primary);
  if (stats) {
    stats->signalPeakCount = 0;
    stats->signalHistogram.fill(0);
    for (int32_t c = 0; c < 3; ++c) {
      stats->signalPeakCount +=
          static_cast<int32_t>(primary->candidates[c].size());
      for (uint8_t v : primary->signal[c]) ++stats->signalHistogram[v / 32];
    }
  }
  findColourOrder(*primary);
  if (stats)
    for (int32_t k = 0; k < 6; ++k)
      if (kColourOrders[k][0] == order_[0] && kColourOrders[k][1] == order_[1])
        stats->colourOrder = k;
  addPassRescueCandidates(primary);
}

// Further hypotheses, each decoded on a thread of its own: the tiles'
// mean field, and no movement at all.
std::vector<Hypothesis> Decoder::otherHypotheses(
    const Hypothesis& primary) const {
  std::vector<Hypothesis> others;
  if (!options_.multiHypothesis) return others;
  if (primary.field.tileCount() > 1)
    others.push_back({primary.field.meanField(), {}, {}, {}});
  if (!options_.shakeDisabled)
    others.push_back(
        {TranslationField::zero(
             static_cast<int32_t>(frames_.size()), width_, height_),
         {},
         {},
         {}});
  return others;
}

// Per ID the best-scoring hit; where hypotheses disagree, the spot most of
// them agree on.
HitMap Decoder::mergeHypotheses(const Hypothesis& primary,
                                const std::vector<Hypothesis>& others) const {
  HitMap merged = primary.hits;
  std::map<int32_t, std::vector<LedHit>> all;
  for (const auto& [id, hit] : primary.hits) all[id].push_back(hit);
  for (const Hypothesis& h : others)
    for (const auto& [id, hit] : h.hits) {
      all[id].push_back(hit);
      auto [it, inserted] = merged.try_emplace(id, hit);
      if (!inserted && hit.score() > it->second.score()) it->second = hit;
    }
  if (others.empty()) return merged;
  std::vector<LedHit> kept;
  for (const auto& [id, hit] : merged) kept.push_back(hit);
  std::vector<std::array<double, 2>> at;
  at.reserve(kept.size());
  for (const LedHit& hit : kept) at.push_back({double(hit.x), double(hit.y)});
  const std::vector<double> nearest = nearestNeighbourDistances(at);
  double spacing = kept.size() < 2 ? 0 : upperMedian(nearest, 0);
  if (spacing < 1.0) return merged;
  for (auto& [id, hits] : all) {
    if (hits.size() < 2) continue;
    const LedHit* choice = nullptr;
    int32_t choiceCount = -1;
    for (const LedHit& a : hits) {
      int32_t n = 0;
      for (const LedHit& b : hits)
        if (std::hypot(double(a.x - b.x), double(a.y - b.y)) <= spacing * 0.5)
          ++n;
      if (!choice || n > choiceCount ||
          (n == choiceCount && a.score() > choice->score())) {
        choice = &a;
        choiceCount = n;
      }
    }
    merged[id] = *choice;
  }
  return merged;
}

// The hits whose neighbours along the ID order agree with where they are.
HitMap Decoder::checkIdNeighbours(const HitMap& merged) const {
  std::vector<IdPoint> points;
  for (const auto& [id, hit] : merged) points.push_back({id, hit.x, hit.y});
  std::vector<int32_t> keep =
      rejectIdOutliers(points, ledCount_, points.size());
  HitMap checked;
  for (int32_t id : keep) checked.emplace(id, merged.at(id));
  return checked;
}

// Whether a reading where an ID's neighbours put it is that ID: its code
// with parity holding, or every bit that is clear matching the ID's.
bool Decoder::rescueReadingHolds(const CodeReading& r,
                                 int32_t id,
                                 int32_t channel) const {
  if ((r.parityStatus == 1 || r.parityStatus == 2) && r.code == id) return true;
  uint32_t gray = uint32_t(id) ^ (uint32_t(id) >> 1);
  for (size_t b = 0; b < r.bits.size(); ++b) {
    auto [p, q] = r.bits[b];
    bool weak = std::abs(p - q) < rescueMargin_[static_cast<size_t>(channel)];
    bool bit = p > q;
    if (!weak && bit != bool((gray >> b) & 1u)) return false;
  }
  return true;
}

// The prediction may fall beside the LED (a string turning a corner): the
// pixel nearby that shows the ID's whole code most clearly, judged by its
// weakest bit, so that an ID neighbour (one bit apart in the Gray code) or
// a brighter LED of another code never wins.
std::pair<int32_t, int32_t> Decoder::clearestPixelFor(
    const Hypothesis& primary,
    int32_t id,
    int32_t x,
    int32_t y,
    int32_t channel,
    const std::vector<int32_t>& passChannels) const {
  const uint32_t gray = uint32_t(id) ^ (uint32_t(id) >> 1);
  int32_t bestX = x, bestY = y, best = 0;
  for (int32_t dy = -kRescueSearch; dy <= kRescueSearch; ++dy)
    for (int32_t dx = -kRescueSearch; dx <= kRescueSearch; ++dx) {
      const int32_t px = x + dx, py = y + dy;
      if (px < 0 || px >= width_ || py < 0 || py >= height_) continue;
      const CodeReading at = readLedCode(frames_,
                                         tables_,
                                         primary.field,
                                         width_,
                                         height_,
                                         px,
                                         py,
                                         channel,
                                         0,
                                         passChannels);
      int32_t weakest = INT32_MAX;
      for (size_t b = 0;
           b < at.bits.size() && b < static_cast<size_t>(tables_.idBits);
           ++b) {
        const auto [on, off] = at.bits[b];
        weakest = std::min(weakest, (gray >> b) & 1u ? on - off : off - on);
      }
      if (weakest != INT32_MAX && weakest > best) {
        best = weakest;
        bestX = px;
        bestY = py;
      }
    }
  return {bestX, bestY};
}

// Reads each missing ID again where its ID neighbours say it should be.
void Decoder::rescueMissingIds(const Hypothesis& primary,
                               HitMap* merged) const {
  std::vector<uint8_t> present(static_cast<size_t>(ledCount_) + 1, 0);
  for (const auto& [id, hit] : *merged) present[static_cast<size_t>(id)] = 1;
  const HitMap measured = *merged;
  int32_t rescues = 0;
  for (int32_t k = 1; k <= ledCount_ && rescues < ledCount_; ++k) {
    if (present[static_cast<size_t>(k)]) continue;
    IdNeighbours n = findIdNeighbours(present, ledCount_, k);
    if (!n.below && !n.above) continue;
    int32_t x, y;
    if (n.below && n.above) {
      const LedHit& a = measured.at(n.below);
      const LedHit& b = measured.at(n.above);
      double f = double(k - n.below) / double(n.above - n.below);
      x = roundHalfAway(a.x + (b.x - a.x) * f);
      y = roundHalfAway(a.y + (b.y - a.y) * f);
    } else {
      const LedHit& a = measured.at(n.below ? n.below : n.above);
      x = a.x;
      y = a.y;
    }
    if (x < 0 || x >= width_ || y < 0 || y >= height_) continue;
    int32_t logical = (k - 1) % 3;
    int32_t channel = order_[logical];
    std::vector<int32_t> passChannels;
    if (rotating_ && shifts_.size() <= 8)
      for (int32_t shift : shifts_)
        passChannels.push_back(order_[(logical + shift) % 3]);
    CodeReading r = read(primary.field, x, y, channel, passChannels);
    if (r.metric < rescueMetric_[static_cast<size_t>(channel)]) continue;
    if (!rescueReadingHolds(r, k, channel)) continue;
    ++rescues;
    const auto [bestX, bestY] =
        clearestPixelFor(primary, k, x, y, channel, passChannels);
    (*merged)[k] =
        LedHit{k, bestX, bestY, channel, 0, r.metric, &primary.field};
  }
}

// Measured records with sub-pixel positions, each LED on its own (the hits
// split over the threads in runs); a hit whose LED could not be told apart
// from another is left out and counted in `overlapping`.
std::vector<DecodedLed> Decoder::measureHits(const Hypothesis& primary,
                                             const HitMap& merged,
                                             int32_t* overlapping) const {
  std::vector<LedHit> hits;
  hits.reserve(merged.size());
  for (const auto& [id, hit] : merged) hits.push_back(hit);
  std::vector<DecodedLed> measured(hits.size());
  std::vector<uint8_t> apart(hits.size(), 0);
  const auto runs = static_cast<int32_t>(std::min<size_t>(hits.size(), 64));
  parallelFor(runs, [&](int32_t run) {
    for (size_t k = static_cast<size_t>(run); k < hits.size();
         k += static_cast<size_t>(runs)) {
      apart[k] = measureHit(primary, hits[k], &measured[k]);
    }
  });
  std::vector<DecodedLed> records;
  *overlapping = 0;
  for (size_t k = 0; k < hits.size(); ++k) {
    if (apart[k])
      records.push_back(measured[k]);
    else
      ++*overlapping;
  }
  return records;
}

// The IDs not measured, estimated from their ID neighbours.
void Decoder::addEstimates(std::vector<DecodedLed>* records) const {
  std::vector<IdPointF> measuredPoints;
  for (const DecodedLed& led : *records)
    measuredPoints.push_back({led.id, led.x, led.y});
  for (const EstimatedPoint& e : estimateMissingIds(
           measuredPoints, ledCount_, width_, height_, size_t(ledCount_))) {
    DecodedLed led;
    led.id = e.id;
    led.x = e.x;
    led.y = e.y;
    led.normX = e.normX;
    led.normY = e.normY;
    led.estimated = 1;
    records->push_back(led);
  }
}

int32_t Decoder::run(std::span<DecodedLed> out,
                     DecodeStats* stats,
                     const ShakeResult& shake) {
  Hypothesis primary;
  preparePrimary(&primary, shake, stats);
  std::vector<Hypothesis> others = otherHypotheses(primary);
  std::vector<std::thread> threads;
  threads.reserve(others.size());
  for (Hypothesis& h : others)
    threads.emplace_back([this, &h] {
      buildImages(&h);
      addPassRescueCandidates(&h);
      decodeHypothesis(&h);
    });
  decodeHypothesis(&primary);
  for (std::thread& t : threads) t.join();

  HitMap merged = checkIdNeighbours(mergeHypotheses(primary, others));
  rescueMissingIds(primary, &merged);
  int32_t overlapping = 0;
  std::vector<DecodedLed> records = measureHits(primary, merged, &overlapping);
  int32_t highestMeasured = 0;
  for (const DecodedLed& led : records)
    highestMeasured = std::max(highestMeasured, led.id);
  addEstimates(&records);
  std::sort(
      records.begin(),
      records.end(),
      [](const DecodedLed& a, const DecodedLed& b) { return a.id < b.id; });
  if (stats) stats->overlapping = overlapping;
  if (options_.trimTrailingEstimates && highestMeasured > 0)
    std::erase_if(records, [&](const DecodedLed& led) {
      return led.id > highestMeasured;
    });

  size_t count =
      std::min({records.size(), out.size(), size_t(std::max(ledCount_, 0))});
  std::copy_n(records.begin(), count, out.begin());
  return static_cast<int32_t>(count);
}

}  // namespace

CodeReading readLedCode(std::span<const FramePlanes> frames,
                        const FrameTables& tables,
                        const TranslationField& field,
                        int32_t width,
                        int32_t height,
                        int32_t x,
                        int32_t y,
                        int32_t channel,
                        int32_t readRadius,
                        std::span<const int32_t> passChannels) {
  const auto frameCount = static_cast<int32_t>(frames.size());
  const int32_t passes = std::max(tables.passes, 1);
  auto sample = [&](int32_t f, int32_t pass) -> int32_t {
    if (f < 0 || f >= frameCount) return 0;
    int32_t c = static_cast<size_t>(pass) < passChannels.size()
                    ? passChannels[pass]
                    : channel;
    Shift s = shiftAt(field, f, x, y);
    return windowMax(frames[f].plane[static_cast<size_t>(c)],
                     width,
                     height,
                     roundHalfAway(x + s.dx),
                     roundHalfAway(y + s.dy),
                     readRadius);
  };

  CodeReading r;
  uint32_t code = 0;
  int32_t marginSum = 0;
  for (int32_t b = 0; b < tables.idBits; ++b) {
    int32_t p = 0, n = 0;
    for (int32_t pass = 0; pass < passes; ++pass) {
      p += sample(tables.bit(b, pass), pass);
      n += sample(tables.bitComplement(b, pass), pass);
    }
    r.bits.push_back({p, n});
    if (p > n) code |= 1u << b;
    marginSum += std::abs(p - n);
  }

  bool hasParity = false;
  if (!tables.parityFrames.empty() && !tables.parityComplementFrames.empty())
    for (int32_t pass = 0; pass < passes; ++pass)
      if (tables.parity(pass) >= 0 && tables.parityComplement(pass) >= 0)
        hasParity = true;
  if (hasParity) {
    int32_t pp = 0, pn = 0;
    for (int32_t pass = 0; pass < passes; ++pass) {
      pp += sample(tables.parity(pass), pass);
      pn += sample(tables.parityComplement(pass), pass);
    }
    bool observed = pp > pn;
    bool expected = __builtin_popcount(code) & 1;
    int32_t parityMargin = std::abs(pp - pn);
    r.metric = marginSum + parityMargin;
    if (observed == expected) {
      r.parityStatus = 1;
    } else {
      r.parityStatus = 2;
      size_t weakest = 0;
      for (size_t b = 1; b < r.bits.size(); ++b)
        if (std::abs(r.bits[b].first - r.bits[b].second) <
            std::abs(r.bits[weakest].first - r.bits[weakest].second))
          weakest = b;
      if (!r.bits.empty() && parityMargin >= std::abs(r.bits[weakest].first -
                                                      r.bits[weakest].second)) {
        code ^= 1u << weakest;
        std::swap(r.bits[weakest].first, r.bits[weakest].second);
        r.parityCorrected = true;
      }
    }
  } else {
    r.metric = marginSum;
    r.parityStatus = 0;
  }
  r.code = static_cast<int32_t>(grayToBinary(code));
  return r;
}

std::vector<uint8_t> buildSignalImage(std::span<const FramePlanes> frames,
                                      int32_t width,
                                      int32_t height,
                                      int32_t baselineFrame,
                                      const TranslationField& field,
                                      int32_t c,
                                      std::span<const int32_t> frameList,
                                      SimdMode mode) {
  const size_t size = static_cast<size_t>(width) * height;
  std::vector<uint8_t> s(size, 0);
  const std::vector<uint8_t>& base =
      frames[static_cast<size_t>(baselineFrame)].plane[static_cast<size_t>(c)];
  // Between tile centres the bilinear field is linear in x: each row splits
  // into segments on which the shift is interpolated from the segment's
  // ends, then into runs of pixels that read with one whole-pixel offset.
  std::vector<int32_t> breaks = {0, width};
  if (field.tilesX >= 2)
    for (int32_t i = 0; i < field.tilesX; ++i) {
      auto centre =
          static_cast<int32_t>(std::ceil((i + 0.5) * width / field.tilesX));
      if (centre > 0 && centre < width) breaks.push_back(centre);
    }
  std::sort(breaks.begin(), breaks.end());
  breaks.erase(std::unique(breaks.begin(), breaks.end()), breaks.end());

  for (int32_t f : frameList) {
    const std::vector<uint8_t>& moved =
        frames[static_cast<size_t>(f)].plane[static_cast<size_t>(c)];
    for (int32_t y = 0; y < height; ++y) {
      RowShifter shifter(field, f, y);
      uint8_t* out = s.data() + static_cast<size_t>(y) * width;
      const uint8_t* b = base.data() + static_cast<size_t>(y) * width;
      for (size_t k = 0; k + 1 < breaks.size(); ++k) {
        const int32_t a = breaks[k], last = breaks[k + 1] - 1;
        const Shift sa = shifter.at(a), sb = shifter.at(last);
        const double span = last > a ? double(last - a) : 1.0;
        const double slopeX = (sb.dx - sa.dx) / span,
                     slopeY = (sb.dy - sa.dy) / span;
        // The whole-pixel offset a pixel reads with; monotone along the
        // segment, so equal offsets form one run up to the next change.
        auto offsetAt = [&](int32_t x) {
          double dx = sa.dx + slopeX * (x - a), dy = sa.dy + slopeY * (x - a);
          return std::pair<int32_t, int32_t>(roundHalfAway(x + dx) - x,
                                             roundHalfAway(y + dy) - y);
        };
        for (int32_t x = a; x <= last;) {
          const auto current = offsetAt(x);
          int32_t end = last;
          if (offsetAt(last) != current) {
            int32_t lo = x,
                    hi = last;  // offsetAt(lo) == current != offsetAt(hi)
            while (hi - lo > 1) {
              int32_t mid = lo + (hi - lo) / 2;
              (offsetAt(mid) == current ? lo : hi) = mid;
            }
            end = lo;
          }
          const auto [ox, oy] = current;
          const int32_t ys = y + oy;
          const int32_t from = std::max(x, -ox),
                        to = std::min(end + 1, width - ox);
          if (ys >= 0 && ys < height && from < to)
            maxOfBrightening(
                out + from,
                moved.data() + static_cast<size_t>(ys) * width + from + ox,
                b + from,
                to - from,
                mode);
          x = end + 1;
        }
      }
    }
  }
  return s;
}

int32_t decodeLeds(std::span<const FramePlanes> frames,
                   std::span<const double> times,
                   const FrameTables& tables,
                   const DecodeOptions& options,
                   std::span<DecodedLed> out,
                   DecodeStats* stats,
                   DecodeError* error,
                   SimdMode mode) {
  auto fail = [&](DecodeError why) {
    if (error) *error = why;
    return -1;
  };
  if (error) *error = DecodeError::kNone;
  const auto frameCount = static_cast<int32_t>(frames.size());
  if (options.baselineFrame < 0 || options.baselineFrame >= frameCount)
    return fail(DecodeError::kNoBaseline);
  if (std::none_of(options.floodFrames.begin(),
                   options.floodFrames.end(),
                   [&](int32_t f) { return f >= 0 && f < frameCount; }))
    return fail(DecodeError::kNoFlood);
  if (options.width < 1 || options.height < 1 || options.ledCount < 1) return 0;
  if (!options.check()) return fail(DecodeError::kInvalidOptions);
  const size_t size = static_cast<size_t>(options.width) * options.height;
  for (const FramePlanes& frame : frames)
    for (const auto& plane : frame.plane)
      if (plane.size() < size) return fail(DecodeError::kFrameTooSmall);

  DecodeStats local;
  DecodeStats* shakeStats = stats ? stats : &local;
  ShakeResult shake = estimateTranslationField(
      frames, times, tables, options, shakeStats, mode);
  Decoder decoder(frames, tables, options, mode);
  return decoder.run(out, shakeStats, shake);
}

}  // namespace pxo
