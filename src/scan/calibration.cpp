#include "scan/calibration.h"

#include "scan/frame_convert.h"
#include "scan/marked_recording.h"
#include "scan/scan_decode.h"
#include "scan/session.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>

namespace pxo {

namespace {

constexpr double kNoiseFactor = 4.0;
// Spots: local maxima within this radius, measured against the lowest rise
// within kSurround, at least kMinSpotContrast (or 3 × noise) above it.
constexpr int32_t kPeakRadius = 2;
constexpr int32_t kSurround = 4;
constexpr double kMinSpotContrast = 6.0;
constexpr double kSpotSigmas = 5.0;
// A camera value this high is clipped: the light may have been any more.
constexpr int kClippedValue = 250;
// Spots under the strongest tenth's contrast divided by this are not LEDs.
constexpr int kWeakSpotDivisor = 4;
// The spots are found in a level's picture clipped in at most this share.
constexpr double kMaxClippedShare = 0.002;
constexpr int kDarkDwellMs = 700;
// Dark frames for the noise, found within this many 1/30 s steps back.
constexpr size_t kDarkFrames = 5;
constexpr int kMaxDarkSteps = 18;
constexpr int kLevelDwellMs = 350;
// The dark end is recorded until the LEDs are seen dark, and at most long
// enough to see them go out on a camera whose picture lags up to a second
// (slow LEDs, a network camera).
constexpr int kEndDwellMs = 1100;
// The frames kept while the dark end is watched: the newest 20 or so at
// 1024 × 576.
constexpr size_t kDarkWatchBytes = size_t{48} << 20;
// Dark: back within this share of the way from the lit to the dark picture,
// in this many frames running.
constexpr double kDarkShare = 0.1;
constexpr int kDarkFramesRunning = 3;
// The lag the reading times were made for: a local camera's. A camera that
// lags more has every frame read that much later.
constexpr double kUsualLagSeconds = 0.2;
constexpr double kMaxLagSeconds = 1.0;
// A pixel the LEDs light, for the lag: this far above the dark picture.
constexpr int kLagPixelRise = 24;
// The calibration's frames are judged at the scan frames' size.
constexpr int32_t kCalibrationFrameDimension = kScanFrameMaxDimension;

// A spot stands this far above its surroundings: at least
// kMinSpotContrast, and kSpotSigmas of the noise.
int spotThreshold(const CameraNoise& noise) {
  return static_cast<int>(std::ceil(
      std::max(kMinSpotContrast, kSpotSigmas * noiseSigma(noise.noiseMax))));
}

}  // namespace

double histogramPercentile(std::span<const int64_t> histogram, double p) {
  int64_t total = 0;
  for (int64_t n : histogram) total += n;
  if (total < 1) return 0;
  auto wanted = static_cast<int64_t>(
      std::ceil(std::min(std::max(p, 0.0), 1.0) * double(total)));
  wanted = std::max<int64_t>(wanted, 1);
  int64_t cumulative = 0;
  for (size_t v = 0; v < histogram.size(); ++v) {
    cumulative += histogram[v];
    if (cumulative >= wanted) return static_cast<double>(v);
  }
  return 255;
}

bool measureCameraNoise(std::span<const FramePlanes> dark,
                        int32_t width,
                        int32_t height,
                        CameraNoise* out) {
  const size_t pixels =
      static_cast<size_t>(width) * static_cast<size_t>(height);
  if (dark.size() < 2 || pixels == 0) return false;
  for (const FramePlanes& f : dark)
    for (const auto& plane : f.plane)
      if (plane.size() != pixels) return false;
  *out = CameraNoise{};
  double* noise[3] = {&out->noiseR, &out->noiseG, &out->noiseB};
  double* mean[3] = {&out->darkMeanR, &out->darkMeanG, &out->darkMeanB};
  for (int c = 0; c < 3; ++c) {
    std::array<int64_t, 256> ranges{};
    double sum = 0;
    for (size_t p = 0; p < pixels; ++p) {
      uint8_t lo = 255, hi = 0;
      for (const FramePlanes& f : dark) {
        uint8_t v = f.plane[c][p];
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        sum += v;
      }
      ++ranges[hi - lo];
    }
    *noise[c] = histogramPercentile(ranges, 0.95);
    *mean[c] = sum / (double(pixels) * double(dark.size()));
  }
  out->noiseMax = std::max({out->noiseR, out->noiseG, out->noiseB});
  out->darkFrameCount = static_cast<int32_t>(dark.size());
  return true;
}

namespace {

// What lit spots are found in: per pixel the largest channel's rise over
// the dark picture and which channel it is, and whether any channel
// clipped; a spot counts only where the confirming picture (when there is
// one) shows at least half the threshold in its channel too.
struct RiseImage {
  RiseImage(const FramePlanes& brightestFrame,
            const FramePlanes& darkFrame,
            int32_t frameWidth,
            int32_t frameHeight,
            int minRise,
            const FramePlanes* confirmFrame)
      : brightest(brightestFrame),
        dark(darkFrame),
        width(frameWidth),
        height(frameHeight),
        threshold(minRise),
        confirm(confirmFrame) {
    const size_t pixels = static_cast<size_t>(width) * height;
    rise.resize(pixels);
    channel.resize(pixels);
    clipped.assign(pixels, 0);
    for (size_t p = 0; p < pixels; ++p) {
      int best = 0, which = 0;
      for (int c = 0; c < 3; ++c) {
        int r = int(brightest.plane[c][p]) - int(dark.plane[c][p]);
        if (r > best) {
          best = r;
          which = c;
        }
        if (brightest.plane[c][p] >= kClippedValue) clipped[p] = 1;
      }
      rise[p] = static_cast<int16_t>(best);
      channel[p] = static_cast<uint8_t>(which);
    }
  }

  int at(int32_t x, int32_t y) const {
    return rise[static_cast<size_t>(y) * width + x];
  }
  bool confirmed(size_t p, int c) const {
    return !confirm ||
           2 * (int(confirm->plane[c][p]) - int(dark.plane[c][p])) >= threshold;
  }

  const FramePlanes& brightest;
  const FramePlanes& dark;
  const int32_t width, height;
  const int threshold;
  const FramePlanes* confirm;
  std::vector<int16_t> rise;
  std::vector<uint8_t> channel;
  std::vector<uint8_t> clipped;
};

// Spots with their strength, strongest first once sorted.
using FoundSpots = std::vector<std::pair<int, LitSpot>>;

// A clipped core is one spot at its centre, whatever its size: the pixels
// of a clipped area differ only by the dark picture's noise. Its channel
// is the one its unclipped rim rises most in (an LED clipped white through
// the crosstalk still shows its own colour there). Its strength counts its
// pixels above any unclipped peak's.
void findClippedCores(const RiseImage& image, FoundSpots* found) {
  const int32_t width = image.width, height = image.height;
  const size_t pixels = image.rise.size();
  std::vector<int32_t> stack;
  std::vector<uint8_t> seen(pixels, 0);
  for (size_t start = 0; start < pixels; ++start) {
    if (!image.clipped[start] || seen[start] ||
        image.rise[start] < image.threshold)
      continue;
    double sx = 0, sy = 0, n = 0;
    std::array<double, 3> rim{};
    stack.assign(1, static_cast<int32_t>(start));
    seen[start] = 1;
    while (!stack.empty()) {
      const auto p = static_cast<size_t>(stack.back());
      stack.pop_back();
      const auto x = static_cast<int32_t>(p % static_cast<size_t>(width)),
                 y = static_cast<int32_t>(p / static_cast<size_t>(width));
      sx += x;
      sy += y;
      n += 1;
      for (auto [dx, dy] : {std::pair{1, 0}, {-1, 0}, {0, 1}, {0, -1}}) {
        const int32_t xs = x + dx, ys = y + dy;
        if (xs < 0 || ys < 0 || xs >= width || ys >= height) continue;
        const size_t q = static_cast<size_t>(ys) * width + xs;
        if (image.clipped[q]) {
          if (!seen[q]) {
            seen[q] = 1;
            stack.push_back(static_cast<int32_t>(q));
          }
          continue;
        }
        for (size_t c = 0; c < 3; ++c)
          rim[c] += std::max(
              int(image.brightest.plane[c][q]) - int(image.dark.plane[c][q]),
              0);
      }
    }
    const auto cx = static_cast<int32_t>(std::lround(sx / n)),
               cy = static_cast<int32_t>(std::lround(sy / n));
    const size_t centre = static_cast<size_t>(cy) * width + cx;
    int which = image.channel[centre];
    if (rim[0] + rim[1] + rim[2] > 0)
      which = static_cast<int>(std::max_element(rim.begin(), rim.end()) -
                               rim.begin());
    if (!image.confirmed(centre, which)) continue;
    found->push_back({255 + static_cast<int>(n), {cx, cy, which}});
  }
}

// The unclipped peaks: the highest rise within kPeakRadius that stands
// out from the lowest within kSurround by the threshold. Its strength is
// that contrast.
void findUnclippedPeaks(const RiseImage& image, FoundSpots* found) {
  const int32_t width = image.width, height = image.height;
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) {
      const int v = image.at(x, y);
      if (v < image.threshold ||
          image.clipped[static_cast<size_t>(y) * width + x])
        continue;
      bool peak = true;
      int lowest = v;
      for (int32_t dy = -kSurround; dy <= kSurround && peak; ++dy)
        for (int32_t dx = -kSurround; dx <= kSurround; ++dx) {
          const int32_t xs = x + dx, ys = y + dy;
          if (xs < 0 || ys < 0 || xs >= width || ys >= height) continue;
          const int w = image.at(xs, ys);
          lowest = std::min(lowest, w);
          // A plateau keeps its first pixel in reading order; the rim of a
          // clipped core is no peak of its own.
          if (std::abs(dx) <= kPeakRadius && std::abs(dy) <= kPeakRadius &&
              (w > v || (w == v && (dy < 0 || (dy == 0 && dx < 0))) ||
               image.clipped[static_cast<size_t>(ys) * width + xs])) {
            peak = false;
            break;
          }
        }
      if (!peak || v - lowest < image.threshold) continue;
      const size_t p = static_cast<size_t>(y) * width + x;
      if (!image.confirmed(p, image.channel[p])) continue;
      found->push_back({v - lowest, {x, y, image.channel[p]}});
    }
}

// The LEDs of a prop light alike: beside bright ones, peaks a quarter as
// strong are the noise of a bright picture or the bloom round a core. Of
// the rest, the `maxSpots` strongest.
std::vector<LitSpot> strongSpots(FoundSpots found, size_t maxSpots) {
  if (found.size() >= 10) {
    std::vector<int> contrast;
    contrast.reserve(found.size());
    for (const auto& f : found) contrast.push_back(f.first);
    const size_t q = contrast.size() * 9 / 10;
    std::nth_element(contrast.begin(),
                     contrast.begin() + static_cast<std::ptrdiff_t>(q),
                     contrast.end());
    const int floor = contrast[q] / kWeakSpotDivisor;
    std::erase_if(found, [&](const auto& f) { return f.first < floor; });
  }
  if (found.size() > maxSpots) {
    std::nth_element(
        found.begin(),
        found.begin() + static_cast<std::ptrdiff_t>(maxSpots),
        found.end(),
        [](const auto& a, const auto& b) { return a.first > b.first; });
    found.resize(maxSpots);
  }
  std::vector<LitSpot> spots;
  spots.reserve(found.size());
  for (const auto& f : found) spots.push_back(f.second);
  return spots;
}

}  // namespace

std::vector<LitSpot> findLitSpots(const FramePlanes& brightest,
                                  const FramePlanes& dark,
                                  int32_t width,
                                  int32_t height,
                                  const CameraNoise& noise,
                                  const FramePlanes* confirm,
                                  size_t maxSpots) {
  const size_t pixels = static_cast<size_t>(width) * height;
  if (width < 1 || height < 1) return {};
  for (int c = 0; c < 3; ++c)
    if (brightest.plane[c].size() < pixels || dark.plane[c].size() < pixels)
      return {};
  if (confirm)
    for (int c = 0; c < 3; ++c)
      if (confirm->plane[c].size() < pixels) confirm = nullptr;
  const RiseImage image(
      brightest, dark, width, height, spotThreshold(noise), confirm);
  FoundSpots found;
  findClippedCores(image, &found);
  findUnclippedPeaks(image, &found);
  return strongSpots(std::move(found), maxSpots);
}

LevelMeasurement measureLevel(const FramePlanes& lit,
                              const FramePlanes& dark,
                              int32_t width,
                              int32_t height,
                              uint8_t level,
                              const CameraNoise& noise,
                              std::span<const LitSpot> spots) {
  LevelMeasurement m;
  m.level = level;
  const size_t pixels = dark.plane[0].size();
  std::array<std::array<int64_t, 256>, 3> increase{};
  const double litThreshold = std::max(1.0, kNoiseFactor * noise.noiseMax);
  int64_t litCount = 0, saturated = 0;
  for (size_t p = 0; p < pixels; ++p) {
    int largest = 0;
    bool full = false;
    for (int c = 0; c < 3; ++c) {
      int v = lit.plane[c][p];
      int rise = std::max(v - int(dark.plane[c][p]), 0);
      ++increase[c][rise];
      largest = std::max(largest, rise);
      full = full || v >= kClippedValue;
    }
    if (largest >= litThreshold) ++litCount;
    if (full) ++saturated;
  }
  m.maxR = histogramPercentile(increase[0], 1.0);
  m.maxG = histogramPercentile(increase[1], 1.0);
  m.maxB = histogramPercentile(increase[2], 1.0);
  m.p99R = histogramPercentile(increase[0], 0.99);
  m.p99G = histogramPercentile(increase[1], 0.99);
  m.p99B = histogramPercentile(increase[2], 0.99);
  m.litFraction = pixels ? double(litCount) / double(pixels) : 0;
  m.saturatedFraction = pixels ? double(saturated) / double(pixels) : 0;
  measureSpots(lit, dark, width, height, noise, spots, &m);
  return m;
}

void measureSpots(const FramePlanes& lit,
                  const FramePlanes& dark,
                  int32_t width,
                  int32_t height,
                  const CameraNoise& noise,
                  std::span<const LitSpot> spots,
                  LevelMeasurement* m) {
  m->spotCount = m->decodableSpots = m->detectableSpots = m->saturatedSpots = 0;
  // At each spot: its contrast in its own channel against its surroundings,
  // and whether the decoder (thresholds raised by the noise, as the scan
  // decodes) finds it with room to spare.
  DecodeOptions thresholds = defaultDecodeOptions();
  raiseThresholdsForNoise(noise, &thresholds);
  const double sigmas[3] = {noiseSigma(noise.noiseR),
                            noiseSigma(noise.noiseG),
                            noiseSigma(noise.noiseB)};
  const size_t size = static_cast<size_t>(width) * height;
  if (width < 1 || height < 1) return;
  for (int c = 0; c < 3; ++c)
    if (lit.plane[c].size() < size || dark.plane[c].size() < size) return;
  for (const LitSpot& s : spots) {
    const auto& plane = lit.plane[static_cast<size_t>(s.channel)];
    const auto& base = dark.plane[static_cast<size_t>(s.channel)];
    auto riseAt = [&](int32_t x, int32_t y) {
      const size_t p = static_cast<size_t>(y) * width + x;
      return int(plane[p]) - int(base[p]);
    };
    int lowest = riseAt(s.x, s.y);
    for (int32_t dy = -kSurround; dy <= kSurround; ++dy)
      for (int32_t dx = -kSurround; dx <= kSurround; ++dx) {
        const int32_t xs = s.x + dx, ys = s.y + dy;
        if (xs >= 0 && ys >= 0 && xs < width && ys < height)
          lowest = std::min(lowest, riseAt(xs, ys));
      }
    const int contrast = riseAt(s.x, s.y) - lowest;
    ++m->spotCount;
    const double threshold =
        thresholds.peakThreshold[static_cast<size_t>(s.channel)];
    const double sigma = sigmas[static_cast<size_t>(s.channel)];
    if (contrast >= kDecodableMargin * threshold) ++m->decodableSpots;
    if (contrast >= std::max(kMinSpotContrast, kSpotSigmas * sigma))
      ++m->detectableSpots;
    if (plane[static_cast<size_t>(s.y) * width + s.x] >= kClippedValue)
      ++m->saturatedSpots;
  }
}

int32_t chooseLevel(std::span<const LevelMeasurement> measurements) {
  int32_t best = -1;
  int32_t mostDecodable = 0, decodableLevel = -1;
  int32_t foundLevel = -1;
  for (const LevelMeasurement& m : measurements) {
    if (m.spotCount < 1) continue;
    if (m.saturatedSpots > kMaxSaturatedSpotShare * m.spotCount) continue;
    if (m.decodableSpots > mostDecodable ||
        (m.decodableSpots == mostDecodable && mostDecodable > 0 &&
         m.level < decodableLevel)) {
      mostDecodable = m.decodableSpots;
      decodableLevel = m.level;
    }
    // Dim LEDs need all the light they can get: the brightest level at
    // which any of them stands out.
    if (m.detectableSpots > 0 && m.level > foundLevel) foundLevel = m.level;
    if (m.decodableSpots >= kMinDecodableShare * m.spotCount &&
        (best < 0 || m.level < best))
      best = m.level;
  }
  if (best >= 0) return best;
  return mostDecodable > 0 ? decodableLevel : foundLevel;
}

DarkEndWatch::DarkEndWatch(std::shared_ptr<pxowin::RecordedFrames> frames,
                           size_t endMark)
    : frames_(std::move(frames)), endMark_(endMark) {
  if (frames_ && endMark_ > 1) thread_ = std::thread([this] { run(); });
}

DarkEndWatch::~DarkEndWatch() {
  if (frames_) frames_->finish();
  if (thread_.joinable()) thread_.join();
}

double DarkEndWatch::darkTime() {
  // The recording has ended: nothing more will come.
  if (frames_) frames_->finish();
  if (thread_.joinable()) thread_.join();
  return darkTime_.load();
}

void DarkEndWatch::run() {
  pxowin::RecordedFrames& kept = *frames_;
  auto read = [&](double time, pxowin::BgraFrame* frame) {
    return kept.frameAt(time, kCalibrationFrameDimension, frame);
  };
  const std::optional<double> darkEnds = kept.waitForMark(1);
  pxowin::BgraFrame dark, lit;
  if (!darkEnds || !read(*darkEnds - 0.04, &dark)) return;
  const std::optional<double> end = kept.waitForMark(endMark_);
  if (!end || !read(*end - 0.04, &lit) || lit.width != dark.width ||
      lit.height != dark.height)
    return;
  // The pixels the brightest level lit, and how bright they were lit and
  // dark (in all three channels).
  std::vector<size_t> pixels;
  const size_t count = dark.pixels.size() / 4;
  for (size_t p = 0; p < count; ++p) {
    int rise = 0;
    for (size_t c = 0; c < 3; ++c)
      rise = std::max(rise, lit.pixels[4 * p + c] - dark.pixels[4 * p + c]);
    if (rise >= kLagPixelRise) pixels.push_back(p);
  }
  if (pixels.empty()) return;
  auto light = [&](const pxowin::BgraFrame& frame) {
    int64_t sum = 0;
    for (size_t p : pixels)
      sum += frame.pixels[4 * p] + frame.pixels[4 * p + 1] +
             frame.pixels[4 * p + 2];
    return static_cast<double>(sum);
  };
  const double darkLight = light(dark);
  const double darkEnough = darkLight + kDarkShare * (light(lit) - darkLight);
  double last = -1;
  int running = 0;
  for (double t = *end + 1 / 60.0; t <= *end + kMaxLagSeconds + 0.1;
       t += 1 / 60.0) {
    pxowin::BgraFrame frame;
    if (!read(t, &frame) || frame.width != dark.width ||
        frame.height != dark.height)
      return;
    if (frame.timestamp == last) continue;
    last = frame.timestamp;
    running = light(frame) <= darkEnough ? running + 1 : 0;
    if (running >= kDarkFramesRunning) {
      darkTime_ = frame.timestamp;
      return;
    }
  }
}

double measureCameraLag(pxowin::ICaptureSource& camera,
                        std::span<const pxowin::CaptureMark> marks,
                        double darkTime) {
  // The brightest level goes dark at the last mark: the lag is how long
  // after it the lit pixels' light has half gone. The dark reference is
  // the end of the last dwell, dark at any lag the search looks for (the
  // first dark dwell may still show the aiming picture on a slow camera).
  if (marks.size() < 3) return 0;
  const double end = marks.back().time;
  FramePlanes dark;
  int32_t width = 0, height = 0;
  if (!extractPlanes(camera,
                     darkTime >= 0 ? darkTime : end + kMaxLagSeconds + 0.05,
                     kCalibrationFrameDimension,
                     &dark,
                     &width,
                     &height))
    return 0;
  auto read = [&](double time, FramePlanes* frame) {
    int32_t w = 0, h = 0;
    return extractPlanes(
               camera, time, kCalibrationFrameDimension, frame, &w, &h) &&
           w == width && h == height;
  };
  // The lit pixels: those clearly above the noise in the brightest picture
  // of the last half second before the mark (at a long lag, the levels
  // before the brightest show there). Read once: they also give the light
  // before the mark.
  std::vector<FramePlanes> lastLit;
  for (double t = 0.44; t > 0; t -= 0.1) {
    FramePlanes frame;
    if (read(end - t, &frame)) lastLit.push_back(std::move(frame));
  }
  const size_t pixels = dark.plane[0].size();
  std::vector<uint8_t> rise(pixels, 0);
  for (const FramePlanes& frame : lastLit)
    for (size_t c = 0; c < 3; ++c)
      for (size_t p = 0; p < pixels; ++p)
        rise[p] = static_cast<uint8_t>(
            std::max(int(rise[p]), frame.plane[c][p] - dark.plane[c][p]));
  std::vector<size_t> lit;
  for (size_t p = 0; p < pixels; ++p)
    if (rise[p] >= kLagPixelRise) lit.push_back(p);
  if (lit.empty()) return 0;
  auto light = [&](const FramePlanes& frame) {
    double sum = 0;
    for (size_t c = 0; c < 3; ++c)
      for (size_t p : lit)
        sum += std::max(frame.plane[c][p] - dark.plane[c][p], 0);
    return sum;
  };
  double before = 0;
  for (const FramePlanes& frame : lastLit)
    before = std::max(before, light(frame));
  lastLit.clear();
  for (double t = 1 / 30.0; t <= kMaxLagSeconds + 1e-9; t += 1 / 30.0) {
    FramePlanes frame;
    if (!read(end + t, &frame)) break;
    if (light(frame) < before / 2) return t;
  }
  return 0;
}

namespace {

// One recording of the dark picture and a run of levels, measured at the
// LEDs' spots.
struct LevelSweep {
  CameraNoise noise;
  std::vector<LevelMeasurement> measurements;
};

enum class SweepOutcome { kMeasured, kNotRecorded, kUnderran, kNoDarkFrames };

// The spots of the brightest level that clips under kMaxClippedShare of the
// picture where the LEDs light it (confirmed by the level below it); when
// every level clips more, those of the dimmest (confirmed by the one
// above). Clipped cores bloom and merge at bright levels: dimmer, each LED
// is a spot of its own at its centre.
std::vector<LitSpot> referenceSpots(std::span<const FramePlanes> levelFrames,
                                    const FramePlanes& dark,
                                    int32_t width,
                                    int32_t height,
                                    const CameraNoise& noise) {
  if (levelFrames.empty()) return {};
  const size_t pixels = static_cast<size_t>(width) * height;
  const int threshold = spotThreshold(noise);
  auto clippedByLeds = [&](const FramePlanes& frame) {
    size_t clipped = 0;
    for (size_t p = 0; p < pixels; ++p) {
      bool full = false;
      int rise = 0;
      for (size_t c = 0; c < 3; ++c) {
        full = full || frame.plane[c][p] >= kClippedValue;
        rise = std::max(rise, int(frame.plane[c][p]) - int(dark.plane[c][p]));
      }
      if (full && rise >= threshold) ++clipped;
    }
    return clipped;
  };
  size_t k = levelFrames.size() - 1;
  while (k > 0 && double(clippedByLeds(levelFrames[k])) >
                      kMaxClippedShare * double(pixels))
    --k;
  const FramePlanes* confirm =
      k > 0 ? &levelFrames[k - 1]
            : (levelFrames.size() > 1 ? &levelFrames[1] : nullptr);
  return findLitSpots(levelFrames[k], dark, width, height, noise, confirm);
}

// The sweep's steps: dark, each level, dark again for `endDwellMs`.
std::vector<MarkedStep> sweepSteps(const ScanSession& session,
                                   std::span<const uint8_t> levels,
                                   int endDwellMs) {
  const std::vector<uint8_t> dark(static_cast<size_t>(session.channelCount), 0);
  const auto count = static_cast<int32_t>(levels.size());
  std::vector<MarkedStep> steps;
  steps.push_back({dark, "cal-dark", kDarkDwellMs, ""});
  for (int32_t i = 0; i < count; ++i) {
    std::vector<uint8_t> frame(static_cast<size_t>(session.channelCount), 0);
    renderLevelFrame(session.plan.get(), levels[static_cast<size_t>(i)], frame);
    steps.push_back({std::move(frame),
                     "cal-level",
                     kLevelDwellMs,
                     "Calibrating brightness\xE2\x80\xA6 " +
                         std::to_string(i + 1) + "/" + std::to_string(count)});
  }
  steps.push_back({dark, "cal-end", endDwellMs, ""});
  return steps;
}

// Five dark frames from the end of the dark dwell, walking back 1/30 s,
// each a frame of its own: a camera slowed to 15 fps by a long exposure
// shows one frame at two such times, and a frame twice has no noise. Read
// in time order five at a time, so the recording is decoded forward; the
// latest first in `darkFrames`. False when their sizes disagree.
bool readDarkFrames(pxowin::ICaptureSource& camera,
                    const std::vector<pxowin::CaptureMark>& marks,
                    double shift,
                    std::vector<FramePlanes>* darkFrames,
                    int32_t* width,
                    int32_t* height) {
  std::vector<double> darkTimes;
  for (int j = 0; j < kMaxDarkSteps; ++j) {
    double t = marks[1].time - 0.04 - j / 30.0;
    if (t <= marks[0].time + 1 / 30.0) break;
    darkTimes.push_back(t + shift);
  }
  std::vector<double> darkStamps;
  bool sizesAgree = true;
  for (size_t from = 0;
       from < darkTimes.size() && darkFrames->size() < kDarkFrames;
       from += kDarkFrames) {
    const size_t to = std::min(from + kDarkFrames, darkTimes.size());
    std::vector<std::pair<double, FramePlanes>> read;
    for (size_t k = to; k-- > from;) {
      FramePlanes planes;
      int32_t w = 0, h = 0;
      double stamp = 0;
      if (!extractPlanes(camera,
                         darkTimes[k],
                         kCalibrationFrameDimension,
                         &planes,
                         &w,
                         &h,
                         &stamp) ||
          std::find(darkStamps.begin(), darkStamps.end(), stamp) !=
              darkStamps.end())
        continue;
      if (darkFrames->empty() && read.empty()) {
        *width = w;
        *height = h;
      } else if (w != *width || h != *height) {
        sizesAgree = false;
      }
      darkStamps.push_back(stamp);
      read.push_back({stamp, std::move(planes)});
    }
    // Latest first.
    std::sort(read.begin(), read.end(), [](const auto& a, const auto& b) {
      return a.first > b.first;
    });
    for (auto& [stamp, planes] : read)
      if (darkFrames->size() < kDarkFrames)
        darkFrames->push_back(std::move(planes));
  }
  return sizesAgree;
}

// Every level's frame, 40 ms before the next mark, and one from the middle
// of its dwell. A camera whose frames run a little ahead of their marks (a
// loaded machine) shows the next, brighter level at the end of a dwell;
// judged by the darker of the two frames, a level is never credited with
// its successor's light.
void measureLevels(pxowin::ICaptureSource& camera,
                   const std::vector<pxowin::CaptureMark>& marks,
                   std::span<const uint8_t> levels,
                   double shift,
                   int32_t width,
                   int32_t height,
                   const FramePlanes& dark,
                   LevelSweep* out) {
  struct Middle {
    uint8_t level;
    FramePlanes frame;
    bool read;
  };
  std::vector<FramePlanes> ends;  // per level measured
  std::vector<Middle> middles;    // the same levels
  for (size_t i = 0; i < levels.size(); ++i) {
    Middle m{levels[i], {}, false};
    FramePlanes end;
    int32_t w = 0, h = 0;
    const double middle = (marks[i + 1].time + marks[i + 2].time) / 2 + shift;
    m.read =
        extractPlanes(
            camera, middle, kCalibrationFrameDimension, &m.frame, &w, &h) &&
        w == width && h == height;
    if (!extractPlanes(camera,
                       marks[i + 2].time - 0.04 + shift,
                       kCalibrationFrameDimension,
                       &end,
                       &w,
                       &h) ||
        w != width || h != height)
      continue;
    ends.push_back(std::move(end));
    middles.push_back(std::move(m));
  }
  const std::vector<LitSpot> spots =
      referenceSpots(ends, dark, width, height, out->noise);
  out->measurements.clear();
  for (size_t k = 0; k < ends.size(); ++k) {
    LevelMeasurement m = measureLevel(
        ends[k], dark, width, height, middles[k].level, out->noise, spots);
    if (middles[k].read) {
      LevelMeasurement early;
      measureSpots(
          middles[k].frame, dark, width, height, out->noise, spots, &early);
      m.decodableSpots = std::min(m.decodableSpots, early.decodableSpots);
      m.detectableSpots = std::min(m.detectableSpots, early.detectableSpots);
      m.saturatedSpots = std::max(m.saturatedSpots, early.saturatedSpots);
    }
    out->measurements.push_back(m);
  }
}

SweepOutcome sweepLevels(ScanSession& session,
                         const std::filesystem::path& path,
                         std::span<const uint8_t> levels,
                         bool measureLag,
                         LevelSweep* out) {
  pxowin::ICaptureSource& camera = *session.camera;
  BrightnessCalibration& result = session.calibration;
  // The first sweep ends long enough to see the LEDs go out at a long lag;
  // later ones only need their last level read at the lag found.
  double shift = std::max(result.cameraLagSeconds - kUsualLagSeconds, 0.0);
  // The first ends as soon as the LEDs are seen dark where the camera keeps
  // its frames for that to be watched.
  const int endDwell =
      measureLag ? 0
                 : kLevelDwellMs + static_cast<int>(std::lround(shift * 1000));
  const std::vector<MarkedStep> steps = sweepSteps(session, levels, endDwell);
  std::vector<pxowin::CaptureMark> marks;
  // Only read back at the decode size and then deleted: recorded at it.
  camera.reduceNextRecording(kCalibrationFrameDimension);
  std::unique_ptr<DarkEndWatch> watch;
  RecordingTail tail;
  if (measureLag) {
    watch = std::make_unique<DarkEndWatch>(
        camera.keepFramesOfNextRecording(kCalibrationFrameDimension,
                                         kDarkWatchBytes),
        steps.size() - 1);
    tail.dwellMs = kEndDwellMs;
    tail.endsEarly = [&watch] { return watch->dark(); };
  }
  if (!recordMarkedSteps(session, path, steps, tail, &marks, nullptr))
    return SweepOutcome::kNotRecorded;
  const double darkTime = watch ? watch->darkTime() : -1;
  watch.reset();
  if (marks.size() <= levels.size() + 1) return SweepOutcome::kUnderran;

  if (measureLag) {
    const double lag = measureCameraLag(camera, marks, darkTime);
    shift = std::max(lag - kUsualLagSeconds, 0.0);
    result.cameraLagSeconds = lag;
    if (shift > 0)
      session.report("Camera picture lags " +
                     std::to_string(std::lround(lag * 1000)) + " ms");
  }
  std::vector<FramePlanes> darkFrames;
  int32_t width = 0, height = 0;
  if (!readDarkFrames(camera, marks, shift, &darkFrames, &width, &height) ||
      !measureCameraNoise(darkFrames, width, height, &out->noise))
    return SweepOutcome::kNoDarkFrames;
  measureLevels(
      camera, marks, levels, shift, width, height, darkFrames[0], out);
  return SweepOutcome::kMeasured;
}

std::string millisecondsText(double seconds) {
  const double ms = seconds * 1000;
  char text[32];
  std::snprintf(text, sizeof text, ms < 10 ? "%.1f" : "%.0f", ms);
  return text;
}

}  // namespace

bool ledsClipAtEveryLevel(std::span<const LevelMeasurement> measurements) {
  bool any = false;
  for (const LevelMeasurement& m : measurements) {
    if (m.spotCount < 1 || m.detectableSpots < 1) continue;
    if (m.saturatedSpots <= kMaxSaturatedSpotShare * m.spotCount) return false;
    any = true;
  }
  return any;
}

namespace {

enum class Dimming { kDimmed, kNotDimmable, kFailed };

// Dims the camera where it lets itself be: its least gain first, then a
// quarter of the exposure at a time, and says so.
Dimming dimCamera(ScanSession& session) {
  pxowin::ICaptureSource& camera = *session.camera;
  const auto exposure = camera.lockedExposure();
  if (!exposure || !(exposure->gain > exposure->minimumGain ||
                     exposure->seconds > exposure->minimumSeconds * 1.05))
    return Dimming::kNotDimmable;
  pxowin::ExposureSetting dimmer = *exposure;
  dimmer.gain = exposure->minimumGain;
  if (exposure->gain <= exposure->minimumGain)
    dimmer.seconds = std::max(exposure->minimumSeconds, exposure->seconds / 4);
  if (!camera.setLockedExposure(dimmer)) return Dimming::kFailed;
  const auto now = camera.lockedExposure();
  BrightnessCalibration& result = session.calibration;
  result.exposureSeconds = now ? now->seconds : dimmer.seconds;
  if (dimmer.seconds < exposure->seconds)
    session.report("LEDs too bright: camera exposure lowered to " +
                   millisecondsText(result.exposureSeconds) + " ms");
  else
    session.report("LEDs too bright: camera gain lowered to its least");
  return Dimming::kDimmed;
}

}  // namespace

void calibrateBrightness(ScanSession& session) {
  BrightnessCalibration& result = session.calibration;
  if (result.calibrated) return;
  result = BrightnessCalibration{};
  if (!session.plan || !session.sink || session.channelCount < 1 ||
      !session.camera)
    return;
  pxowin::ICaptureSource& camera = *session.camera;

  const auto path = sessionTempFile(session, "pxo_calibrate");
  auto cleanUp = [&] {
    std::error_code ec;
    std::filesystem::remove(path, ec);
  };
  session.report("Measuring camera noise\xE2\x80\xA6");
  LevelSweep sweep;
  switch (sweepLevels(session, path, kCalibrationLevels, true, &sweep)) {
    case SweepOutcome::kMeasured:
      break;
    case SweepOutcome::kNotRecorded:
      return;
    case SweepOutcome::kUnderran:
      session.report("Calibration skipped (camera underran)");
      cleanUp();
      return;
    case SweepOutcome::kNoDarkFrames:
      session.report("Calibration skipped (no usable dark frames)");
      cleanUp();
      return;
  }
  result.calibrated = true;
  result.noise = sweep.noise;
  if (const auto exposure = camera.lockedExposure())
    result.exposureSeconds = exposure->seconds;
  if (!session.autoBrightness) {
    cleanUp();
    return;
  }

  // LEDs that clip at every level: the camera dimmed where it lets itself
  // be (least gain, a quarter of the exposure at a time), then the levels
  // below 16, each measured again.
  int32_t chosen = chooseLevel(sweep.measurements);
  bool triedLowLevels = false;
  for (int round = 0; chosen < 0 && ledsClipAtEveryLevel(sweep.measurements) &&
                      round < kMaxDimmingRounds;
       ++round) {
    std::span<const uint8_t> levels = kCalibrationLevels;
    const Dimming dimming = dimCamera(session);
    if (dimming == Dimming::kFailed) break;
    if (dimming == Dimming::kNotDimmable) {
      if (triedLowLevels) break;
      triedLowLevels = true;
      levels = kLowCalibrationLevels;
      session.report("LEDs too bright: measuring levels below 16\xE2\x80\xA6");
    }
    LevelSweep again;
    if (sweepLevels(session, path, levels, false, &again) !=
        SweepOutcome::kMeasured)
      break;
    sweep = std::move(again);
    result.noise = sweep.noise;
    chosen = chooseLevel(sweep.measurements);
  }
  if (chosen > 0) {
    result.calibratedLevel = chosen;
    setPlanLevel(session.plan.get(), static_cast<uint8_t>(chosen));
    session.report("Auto brightness: " + std::to_string(chosen));
  } else if (ledsClipAtEveryLevel(sweep.measurements)) {
    result.tooBright = true;
    result.calibratedLevel = planLevel(session.plan.get());
  } else {
    result.usedDefaultLevel = true;
    result.calibratedLevel = planLevel(session.plan.get());
    session.report(
        "Auto brightness: no level cleared the noise floor; using default");
  }
  cleanUp();
}

}  // namespace pxo
