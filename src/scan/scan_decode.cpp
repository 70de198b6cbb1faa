#include "scan/scan_decode.h"

#include "capture/media.h"
#include "capture/stream_file.h"
#include "decode/led_decoder.h"
#include "output/scan_data.h"
#include "scan/frame_convert.h"
#include "scan/plan_decoding.h"
#include "scan/settle_timing.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

namespace pxo {

namespace {

constexpr char kEllipsis[] = "\xE2\x80\xA6";
constexpr double kNoiseFactor = 4.0;
constexpr double kMaxRaisedThreshold = 200.0;
// The 95th percentile of five dark frames' per-pixel range (the measured
// noise) is about 3.86 σ for Gaussian noise.
constexpr double kRangeToSigma = 3.86;
constexpr double kMinSigma = 0.5;
// An LED lights each flood by at least this share of its signal (the floods
// are sent at the level of the code frames, so a real LED shows about all
// of it; noise that passed for a dim LED rarely does in all three); below
// this many LEDs, each must.
constexpr double kFloodRiseShare = 0.5;
constexpr int32_t kMinFloodChecks = 4;
// Pixels of a few LEDs' spots.
constexpr int64_t kMinBlinkingPixels = 16;
// IDs hold together when LEDs next to each other in ID order lie, in the
// median, within this share of the prop's extent (a string's neighbours are
// close; IDs read from the wrong frames land anywhere, about half the
// extent apart); judged from this many neighbouring pairs on.
constexpr double kMaxIdStepShare = 0.2;
constexpr int32_t kMinIdSteps = 8;
// Ports with fewer LEDs are not read again in other colour orders.
constexpr int32_t kMinPortLedsToReread = 4;

// One frame per mark; a frame that cannot be read, or differs in size from
// the first one read, stays black so that frame i belongs to mark i.
// How late the frame read for a pattern may be, as a share of the time
// between patterns: later, the camera dropped the frames that showed it
// and the frame read may show the next pattern. A camera slowed to 15 fps
// by a long exposure has a frame every 67 ms: no drop.
constexpr double kLateShareOfGap = 0.4;
// A scan with more patterns unseen than this share is not decoded.
constexpr double kMaxUnseenShare = 0.2;
// The longest time between the camera's frames, as a share of the time
// between patterns, at which each pattern is still surely seen on its own:
// the settle timing is measured to within a frame, and a frame read for a
// pattern may be up to one frame later than wanted. 15 fps (a camera slowed
// by a long exposure) passes; a camera that falls to 6 fps on a busy
// machine shows a pattern in one frame or none, and neighbouring patterns'
// frames then give IDs that look right and are not.
constexpr double kMaxFrameIntervalShare = 0.4;

// The time between patterns; 0 without two marks (nothing is late then,
// and there is no pattern either side to read instead).
double medianGap(std::span<const double> markTimes) {
  return markTimes.size() < 2 ? 0 : medianMarkGap(markTimes);
}

// Sorts out the frames read one per mark: `unseen` gets the patterns whose
// frame is missing, was recorded too long after the moment wanted, or is
// the frame read for the pattern next to it. The first frame read sets the
// scan's size; a frame that cannot be read, or differs from it in size,
// stays black so that frame i belongs to mark i. False when none was read.
bool sortOutFrames(std::span<const PatternRead> reads,
                   std::span<const double> markTimes,
                   double offset,
                   std::vector<FramePlanes>* frames,
                   std::vector<int32_t>* unseen,
                   int32_t* width,
                   int32_t* height) {
  // Frame i belongs to mark i; one with no read was not seen.
  const size_t count = frames->size();
  if (reads.size() < count) {
    std::vector<PatternRead> all(reads.begin(), reads.end());
    all.resize(count);
    return sortOutFrames(all, markTimes, offset, frames, unseen, width, height);
  }
  const double lateLimit = kLateShareOfGap * medianGap(markTimes);
  auto late = [&](size_t i) {
    return lateLimit > 0 && i < markTimes.size() &&
           reads[i].time - (markTimes[i] + offset) > lateLimit;
  };
  // One frame read for two patterns shows at most one of them: neither is
  // taken.
  std::vector<bool> shared(count, false);
  for (size_t i = 1; i < count; ++i)
    if (reads[i].ok && reads[i - 1].ok && reads[i].time == reads[i - 1].time)
      shared[i] = shared[i - 1] = true;
  unseen->clear();
  *width = *height = 0;
  for (size_t i = 0; i < count; ++i) {
    if (!reads[i].ok || late(i) || shared[i])
      unseen->push_back(static_cast<int32_t>(i));
    if (!reads[i].ok) continue;
    if (*width == 0) {
      *width = reads[i].width;
      *height = reads[i].height;
    }
    if (reads[i].width != *width || reads[i].height != *height)
      (*frames)[i] = FramePlanes{};
  }
  if (*width == 0) return false;
  for (FramePlanes& f : *frames)
    if (f.plane[0].empty())
      for (auto& plane : f.plane)
        plane.assign(static_cast<size_t>(*width) * *height, 0);
  return true;
}

// Extracts one frame per mark and sorts them out (sortOutFrames). With a
// second reader (its own decoder on the same recording), the later half of
// the marks is read by it on a thread of its own meanwhile; the progress is
// still reported from this thread, in order.
bool extractScanFrames(const FrameReader& read,
                       const FrameReader& second,
                       std::span<const double> markTimes,
                       double offset,
                       const std::function<void(const std::string&)>& report,
                       std::vector<FramePlanes>* frames,
                       std::vector<int32_t>* unseen,
                       int32_t* width,
                       int32_t* height) {
  const size_t count = markTimes.size();
  std::vector<PatternRead> reads(count);
  frames->assign(count, FramePlanes{});
  auto readOne = [&](const FrameReader& reader, size_t i) {
    readPatternFrame(reader, markTimes[i] + offset, &(*frames)[i], &reads[i]);
  };
  auto progress = [&](size_t i) {
    report(std::string("Extracting scan frames") + kEllipsis + " " +
           std::to_string(i + 1) + "/" + std::to_string(count));
  };

  const size_t half = second && count >= 2 ? count / 2 : count;
  std::mutex mutex;
  std::condition_variable ready;
  size_t secondDone = half;  // marks before this the second reader finished
  std::thread worker;
  if (half < count)
    worker = std::thread([&] {
      for (size_t i = half; i < count; ++i) {
        readOne(second, i);
        std::lock_guard lock(mutex);
        secondDone = i + 1;
        ready.notify_one();
      }
    });
  for (size_t i = 0; i < half; ++i) {
    progress(i);
    readOne(read, i);
  }
  for (size_t i = half; i < count; ++i) {
    {
      std::unique_lock lock(mutex);
      ready.wait(lock, [&] { return secondDone > i; });
    }
    progress(i);
  }
  if (worker.joinable()) worker.join();
  return sortOutFrames(reads, markTimes, offset, frames, unseen, width, height);
}

// Takes the patterns the camera did not show out of the decoder's tables
// (a bit read from the other pass alone, or left for the parity to mend)
// and says so; false when the baseline or a flood is among them, or more
// than kMaxUnseenShare of the patterns.
bool forgetUnseenFrames(std::span<const int32_t> unseen,
                        int32_t patternCount,
                        const ScanPlan* plan,
                        const std::function<void(const std::string&)>& report,
                        FrameTables* tables) {
  const auto count = static_cast<int32_t>(unseen.size());
  if (count > kMaxUnseenShare * patternCount) return false;
  for (int32_t f : unseen) {
    if (f == 0) return false;
    for (int32_t k = 0; k < 3; ++k)
      if (f == floodFrameIndex(plan, k)) return false;
    for (auto* table : {&tables->bitFrames,
                        &tables->bitComplementFrames,
                        &tables->parityFrames,
                        &tables->parityComplementFrames})
      std::replace(table->begin(), table->end(), f, -1);
  }
  report("The camera dropped frames: " + std::to_string(count) + " of " +
         std::to_string(patternCount) +
         " patterns were not seen; their bits are read from the rest");
  return true;
}

// Renumbers the first `count` records from scan LED IDs to model nodes and
// drops the null positions; returns the records kept.
int32_t keepNodes(std::span<const int32_t> nodeOfLed,
                  std::vector<DecodedLed>* decoded,
                  int32_t count) {
  int32_t kept = 0;
  for (int32_t i = 0; i < count; ++i) {
    DecodedLed led = (*decoded)[static_cast<size_t>(i)];
    if (led.id < 1 || static_cast<size_t>(led.id) > nodeOfLed.size()) continue;
    const int32_t node = nodeOfLed[static_cast<size_t>(led.id) - 1];
    if (node < 1) continue;
    led.id = node;
    (*decoded)[static_cast<size_t>(kept++)] = led;
  }
  return kept;
}

// The colour order (a kColourOrders index) most of a port's read LEDs show
// in the flood frames: per LED, the camera channel each flood lights most;
// -1 without a clear majority (three in four).
int32_t floodOrderOf(std::span<const FramePlanes> frames,
                     const DecodeOptions& options,
                     std::span<const DecodedLed> leds,
                     const ScanPortRange& port) {
  const auto frameCount = static_cast<int32_t>(frames.size());
  const int32_t base = options.baselineFrame;
  if (base < 0 || base >= frameCount) return -1;
  for (int32_t f : options.floodFrames)
    if (f < 0 || f >= frameCount) return -1;
  std::array<int32_t, 6> votes{};
  int32_t total = 0;
  for (const DecodedLed& led : leds) {
    if (led.estimated || led.id <= port.first ||
        led.id > port.first + port.count)
      continue;
    const auto x = static_cast<int32_t>(std::lround(led.x));
    const auto y = static_cast<int32_t>(std::lround(led.y));
    if (x < 0 || y < 0 || x >= options.width || y >= options.height) continue;
    const size_t p = static_cast<size_t>(y) * options.width + x;
    std::array<int32_t, 3> shows{};
    for (size_t k = 0; k < 3; ++k) {
      const FramePlanes& flood =
          frames[static_cast<size_t>(options.floodFrames[k])];
      int best = -256;
      for (int32_t c = 0; c < 3; ++c) {
        const int rise = int(flood.plane[static_cast<size_t>(c)][p]) -
                         int(frames[static_cast<size_t>(base)]
                                 .plane[static_cast<size_t>(c)][p]);
        if (rise > best) {
          best = rise;
          shows[k] = c;
        }
      }
    }
    for (int32_t k = 0; k < 6; ++k)
      if (kColourOrders[k][0] == shows[0] && kColourOrders[k][1] == shows[1] &&
          kColourOrders[k][2] == shows[2])
        ++votes[static_cast<size_t>(k)];
    ++total;
  }
  for (int32_t k = 0; k < 6; ++k)
    if (total > 0 && 4 * votes[static_cast<size_t>(k)] >= 3 * total) return k;
  return -1;
}

int32_t observedIn(std::span<const DecodedLed> leds,
                   const ScanPortRange& port) {
  int32_t n = 0;
  for (const DecodedLed& led : leds)
    n += !led.estimated && led.id > port.first &&
         led.id <= port.first + port.count;
  return n;
}

// Ports most of whose LEDs went unread: decoded again in each other colour
// order, and the order that reads most of them kept for that port.
int32_t readPortsInTheirOwnOrder(std::span<const FramePlanes> frames,
                                 const ScanDecodeInput& input,
                                 const PlanDecoding& decoding,
                                 const DecodeOptions& options,
                                 std::vector<DecodedLed>* decoded,
                                 int32_t count,
                                 ScanDecodeResult* result) {
  const int32_t used = result->stats.colourOrder;
  std::array<std::vector<DecodedLed>, 6> other;  // decoded lazily
  std::array<bool, 6> tried{};
  std::vector<DecodedLed> kept(decoded->begin(), decoded->begin() + count);
  for (const ScanPortRange& port : input.ports) {
    if (port.count < kMinPortLedsToReread) continue;
    int32_t bestObserved = observedIn(kept, port);
    // The order the port's LEDs show in the floods: not the one the
    // controller was told (sent colours shown as sent) is worth saying.
    const int32_t shown = floodOrderOf(frames, options, kept, port);
    auto notice = [&](int32_t order) {
      std::string answers = answeredColourOrder(port.colorOrder, order);
      result->notices.push_back("Port " + std::to_string(port.portNumber) +
                                ": LEDs answer as " + answers +
                                ", the controller says " + port.colorOrder);
      return answers;
    };
    if (bestObserved == port.count || shown == used ||
        (shown < 0 && bestObserved > 0)) {
      if (shown > 0) {
        const std::string answers = notice(shown);
        for (const DecodedLed& led : kept)
          if (led.id > port.first && led.id <= port.first + port.count)
            result->ledOrders.push_back({led.id, answers});
      }
      continue;
    }
    // Re-read in the order shown; with none of the port's LEDs read, in
    // every other order.
    int32_t best = -1;
    for (int32_t k = 0; k < 6; ++k) {
      if (k == used || (shown >= 0 && k != shown)) continue;
      if (!tried[static_cast<size_t>(k)]) {
        tried[static_cast<size_t>(k)] = true;
        DecodeOptions forced = options;
        forced.colourOrder = k;
        std::vector<DecodedLed> leds(static_cast<size_t>(input.ledCount));
        const int32_t n =
            decodeLeds(frames, input.markTimes, decoding.tables, forced, leds);
        leds.resize(static_cast<size_t>(std::max(n, 0)));
        other[static_cast<size_t>(k)] = std::move(leds);
      }
      const int32_t observed = observedIn(other[static_cast<size_t>(k)], port);
      if (observed > bestObserved) {
        bestObserved = observed;
        best = k;
      }
    }
    if (best < 0) continue;
    auto inPort = [&](const DecodedLed& led) {
      return led.id > port.first && led.id <= port.first + port.count;
    };
    std::erase_if(kept, inPort);
    const std::string answers = best > 0 ? notice(best) : port.colorOrder;
    for (const DecodedLed& led : other[static_cast<size_t>(best)])
      if (inPort(led)) {
        kept.push_back(led);
        if (best > 0) result->ledOrders.push_back({led.id, answers});
      }
  }
  std::sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) {
    return a.id < b.id;
  });
  std::copy(kept.begin(), kept.end(), decoded->begin());
  return static_cast<int32_t>(kept.size());
}

}  // namespace

std::string cameraTooSlowMessage(double framesPerSecond) {
  return std::string(kCameraTooSlow) + " " +
         std::to_string(std::lround(framesPerSecond)) +
         " frames a second while the patterns played, too few to see each "
         "pattern on its own \xE2\x80\x94 close other programs that keep "
         "the computer busy, or lower the camera's resolution, and scan again";
}

std::string answeredColourOrder(const std::string& sent, int32_t permutation) {
  if (permutation < 0 || permutation > 5) return sent;
  std::string answers = sent;
  for (char& letter : answers) {
    const size_t colour = std::string_view("RGB").find(letter);
    if (colour == std::string_view::npos) continue;
    letter = "RGB"[kColourOrders[permutation][colour]];
  }
  return answers;
}

bool idsHoldTogether(std::span<const DecodedLed> decoded) {
  std::vector<const DecodedLed*> seen;
  constexpr double kHuge = std::numeric_limits<double>::infinity();
  double minX = kHuge, maxX = -kHuge, minY = kHuge, maxY = -kHuge;
  for (const DecodedLed& led : decoded) {
    if (led.estimated) continue;
    seen.push_back(&led);
    minX = std::min(minX, led.x);
    maxX = std::max(maxX, led.x);
    minY = std::min(minY, led.y);
    maxY = std::max(maxY, led.y);
  }
  std::sort(seen.begin(), seen.end(), [](const auto* a, const auto* b) {
    return a->id < b->id;
  });
  std::vector<double> steps;
  for (size_t i = 1; i < seen.size(); ++i)
    if (seen[i]->id == seen[i - 1]->id + 1)
      steps.push_back(
          std::hypot(seen[i]->x - seen[i - 1]->x, seen[i]->y - seen[i - 1]->y));
  if (static_cast<int32_t>(steps.size()) < kMinIdSteps) return true;
  std::nth_element(
      steps.begin(),
      steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2),
      steps.end());
  const double extent = std::hypot(maxX - minX, maxY - minY);
  return steps[steps.size() / 2] <= kMaxIdStepShare * extent;
}

bool floodsAgree(std::span<const FramePlanes> frames,
                 const DecodeOptions& options,
                 std::span<const DecodedLed> decoded) {
  const auto frameCount = static_cast<int32_t>(frames.size());
  const int32_t base = options.baselineFrame;
  if (base < 0 || base >= frameCount) return true;
  for (int32_t flood : options.floodFrames)
    if (flood < 0 || flood >= frameCount) return true;
  // The brightest value near an LED's spot in one frame and channel: within
  // a pixel of it (the LED may sit between pixels, the camera may have
  // moved a little).
  auto peakAt = [&](const DecodedLed& led, int32_t frame, int c) {
    int peak = 0;
    const auto cx = static_cast<int32_t>(std::lround(led.x));
    const auto cy = static_cast<int32_t>(std::lround(led.y));
    const auto& plane = frames[static_cast<size_t>(frame)].plane[c];
    for (int32_t y = cy - 1; y <= cy + 1; ++y)
      for (int32_t x = cx - 1; x <= cx + 1; ++x) {
        if (x < 0 || y < 0 || x >= options.width || y >= options.height)
          continue;
        const size_t p = static_cast<size_t>(y) * options.width + x;
        if (p < plane.size()) peak = std::max(peak, int(plane[p]));
      }
    return peak;
  };
  // Every flood lights every LED, in whatever colour its strip makes of it,
  // and none shows it darker than the baseline does: a baseline that shows
  // the LEDs lit is a frame of another pattern (read a pattern too late,
  // the baseline shows the red flood).
  int32_t checked = 0, lit = 0;
  for (const DecodedLed& led : decoded) {
    // Re-read IDs carry no signal of their own to compare with.
    if (led.estimated || led.signal <= 0) continue;
    ++checked;
    const double needed = std::max(kFloodRiseShare * led.signal, 1.0);
    std::array<int, 3> dark{};
    for (int c = 0; c < 3; ++c)
      dark[static_cast<size_t>(c)] = peakAt(led, base, c);
    bool all = true;
    for (int32_t flood : options.floodFrames) {
      int rise = 0, fall = 0;
      for (int c = 0; c < 3; ++c) {
        const int change = peakAt(led, flood, c) - dark[static_cast<size_t>(c)];
        rise = std::max(rise, change);
        fall = std::max(fall, -change);
      }
      all = all && rise >= needed && fall < needed;
    }
    lit += all;
  }
  // Too few to outvote a stray reading: then every one must agree.
  return checked < kMinFloodChecks ? lit == checked : 2 * lit >= checked;
}

void readPatternFrame(const FrameReader& read,
                      double wanted,
                      FramePlanes* planes,
                      PatternRead* info) {
  pxowin::BgraFrame frame;
  *info = PatternRead{};
  if (!read(wanted, kScanFrameMaxDimension, &frame) || frame.width < 1 ||
      frame.height < 1 || frame.pixels.empty())
    return;
  *info = {true, frame.timestamp, frame.width, frame.height};
  *planes = toFramePlanes(frame);
}

double frameIntervalAtFloods(const FrameReader& read,
                             const ScanPlan* plan,
                             std::span<const double> markTimes) {
  const auto marks = static_cast<int32_t>(markTimes.size());
  const int32_t first = floodFrameIndex(plan, 0),
                last = floodFrameIndex(plan, 2);
  if (first < 0 || last < first || last >= marks) return 0;
  const double from = markTimes[static_cast<size_t>(first)];
  const double to = markTimes[static_cast<size_t>(last)] + medianGap(markTimes);
  constexpr double kStep = 1 / 60.0;
  constexpr int32_t kMaxReads = 240;
  constexpr int32_t kProbeDimension = 160;
  std::vector<double> times;
  pxowin::BgraFrame frame;
  for (int32_t k = 0; k < kMaxReads && from + k * kStep <= to; ++k)
    if (read(from + k * kStep, kProbeDimension, &frame))
      times.push_back(frame.timestamp);
  std::sort(times.begin(), times.end());
  times.erase(std::unique(times.begin(), times.end()), times.end());
  return times.size() < 3 ? 0 : medianMarkGap(times);
}

FrameReader recordingFrames(const std::filesystem::path& path,
                            std::string* error) {
  std::shared_ptr<pxowin::FrameExtractor> extractor =
      pxowin::createRecordingReader();
  if (!extractor || !extractor->open(path, error)) return {};
  return
      [extractor](double time, int32_t maxDimension, pxowin::BgraFrame* frame) {
        return extractor->frameAt(time, maxDimension, frame, nullptr);
      };
}

FrameReader cameraFrames(pxowin::ICaptureSource& camera) {
  return [&camera](double time, int32_t maxDimension, pxowin::BgraFrame* out) {
    return camera.extractFrame(time, maxDimension, *out, nullptr);
  };
}

int32_t ScanDecodeResult::observedCount() const {
  return static_cast<int32_t>(
      std::count_if(leds.begin(), leds.end(), [](const DecodedLed& led) {
        return !led.estimated;
      }));
}

double noiseSigma(double noise) {
  return std::max(noise / kRangeToSigma, kMinSigma);
}

void raiseThresholdsForNoise(const CameraNoise& noise, DecodeOptions* options) {
  const double perChannel[3] = {noise.noiseR, noise.noiseG, noise.noiseB};
  for (size_t c = 0; c < 3; ++c) {
    const auto raised = static_cast<int32_t>(
        std::min(std::ceil(kNoiseFactor * perChannel[c]), kMaxRaisedThreshold));
    options->peakThreshold[c] = std::max(options->peakThreshold[c], raised);
  }
}

namespace {

// One reading of the scan's frames: extracted at one settle offset,
// decoded, and checked against the floods.
struct ScanReading {
  std::vector<DecodedLed> decoded;
  int32_t count = -1;
  DecodeError why = DecodeError::kNone;
  int32_t width = 0;
  int32_t height = 0;
  bool timingHolds = false;
  bool idsHoldTogether = false;
};

// Each pattern's frame at `offset` after its mark, from those read while
// the patterns played (`ahead`) or from the recording; `unseen` gets the
// patterns no frame showed. False when none could be read.
bool framesAt(const FrameReader& read,
              PatternFrames* ahead,
              const ScanDecodeInput& input,
              double offset,
              const std::function<void(const std::string&)>& report,
              std::vector<FramePlanes>* frames,
              std::vector<int32_t>* unseen,
              ScanReading* reading) {
  if (!ahead)
    return extractScanFrames(read,
                             input.secondReader,
                             input.markTimes,
                             offset,
                             report,
                             frames,
                             unseen,
                             &reading->width,
                             &reading->height);
  *frames = std::move(ahead->frames);
  frames->resize(input.markTimes.size());
  return sortOutFrames(ahead->reads,
                       input.markTimes,
                       offset,
                       frames,
                       unseen,
                       &reading->width,
                       &reading->height);
}

// False with the error when the frames cannot be read or decoded at all;
// otherwise true, with `timingHolds` saying whether the floods agree and
// `idsHoldTogether` whether the IDs read do.
bool readScanAt(const FrameReader& read,
                PatternFrames* ahead,
                const ScanDecodeInput& input,
                double offset,
                const std::function<void(const std::string&)>& report,
                ScanDecodeResult* result,
                ScanReading* reading,
                std::string* error) {
  auto fail = [&](const std::string& message) {
    if (error) *error = message;
    return false;
  };
  *result = ScanDecodeResult{};
  *reading = ScanReading{};
  std::vector<FramePlanes> frames;
  std::vector<int32_t> unseen;
  const int32_t& width = reading->width;
  const int32_t& height = reading->height;
  if (!framesAt(read, ahead, input, offset, report, &frames, &unseen, reading))
    return fail("could not extract any scan frames");
  // Known from here on, whatever fails later: the scan data says it.
  result->width = width;
  result->height = height;

  PlanDecoding decoding = planDecoding(input.plan);
  if (!unseen.empty() &&
      !forgetUnseenFrames(unseen,
                          static_cast<int32_t>(input.markTimes.size()),
                          input.plan,
                          report,
                          &decoding.tables))
    return fail(kCameraDroppedFrames);
  DecodeOptions options;
  if (!decoding.options(
          input.plan, width, height, input.ledCount, &options, error))
    return false;
  if (input.noise) raiseThresholdsForNoise(*input.noise, &options);

  report(std::string("Decoding pixel positions") + kEllipsis);
  std::vector<DecodedLed>& decoded = reading->decoded;
  decoded.resize(static_cast<size_t>(input.ledCount));
  int32_t& count = reading->count;
  count = decodeLeds(frames,
                     input.markTimes,
                     decoding.tables,
                     options,
                     decoded,
                     &result->stats,
                     &reading->why);
  auto agree = [&] {
    return count < 0 || floodsAgree(frames,
                                    options,
                                    std::span<const DecodedLed>(decoded).first(
                                        static_cast<size_t>(count)));
  };
  bool timingHolds = agree();
  auto together = [&] {
    return count < 0 ||
           idsHoldTogether(std::span<const DecodedLed>(decoded).first(
               static_cast<size_t>(count)));
  };
  // Frames read a pattern late show the floods in turned colours, which
  // looks like a port wired in another order: the LEDs read again in such
  // an order must pass the same check.
  if (timingHolds && count >= 0 && !input.ports.empty()) {
    count = readPortsInTheirOwnOrder(
        frames, input, decoding, options, &decoded, count, result);
    timingHolds = agree();
  }
  reading->timingHolds = timingHolds;
  reading->idsHoldTogether = together();
  return true;
}

}  // namespace

std::string overlappingLedsNotice(int32_t count) {
  return std::to_string(count) + (count == 1 ? " LED" : " LEDs") +
         " sat too close to others in the picture to tell apart and " +
         (count == 1 ? "was" : "were") +
         " estimated \xE2\x80\x94 move the camera closer, or scan again "
         "from a second place";
}

namespace {

// Whether the camera gives too few frames a pattern to read each pattern
// (its frame interval, from the frames read ahead or measured at the
// floods, is in `interval`); the scan data still says what size its
// picture was.
bool cameraTooSlow(const FrameReader& read,
                   const ScanDecodeInput& input,
                   const PatternFrames* ahead,
                   double gap,
                   ScanDecodeResult* result,
                   double* interval) {
  *interval = ahead ? ahead->frameInterval
                    : frameIntervalAtFloods(read, input.plan, input.markTimes);
  if (!(gap > 0 && *interval > kMaxFrameIntervalShare * gap)) return false;
  pxowin::BgraFrame first;
  if (ahead) {
    for (const PatternRead& r : ahead->reads)
      if (r.ok) {
        result->width = r.width;
        result->height = r.height;
        break;
      }
  } else if (!input.markTimes.empty() &&
             read(input.markTimes.front(), kScanFrameMaxDimension, &first)) {
    result->width = first.width;
    result->height = first.height;
  }
  return true;
}

bool holds(const ScanReading& r) { return r.timingHolds && r.idsHoldTogether; }

// Whether LEDs blinked in the picture: enough pixels whose light rose an
// eighth of the range or more over the baseline in some pattern. A prop
// out of sight shows none, however many faint peaks of the camera's noise
// the decoder's thresholds, lowered to that noise, let through.
bool spotsBlinked(const DecodeStats& stats) {
  int64_t bright = 0;
  for (size_t bin = 1; bin < stats.signalHistogram.size(); ++bin)
    bright += stats.signalHistogram[bin];
  return bright >= kMinBlinkingPixels;
}

bool seesLeds(const ScanReading& r) {
  return std::any_of(r.decoded.begin(),
                     r.decoded.begin() + std::clamp<std::ptrdiff_t>(
                                             r.count, 0, std::ssize(r.decoded)),
                     [](const DecodedLed& led) { return !led.estimated; });
}

// Frames that contradict their codes were read a whole pattern early or
// late when the settle timing measured the wrong flood. Read a pattern
// either side; only a reading whose floods agree is taken, so a wrong
// alignment never gives IDs.
// IDs that do not hold together (LEDs next to each other on the string
// found far apart) were read from the wrong frames as surely.
// Frames a pattern off may also read no LED at all: the decoder takes no
// ID from a spot whose frames contradict it. Such a reading proves no
// timing, so the frames either side are read too, and taken only when
// they give LEDs.
void readAgainAPatternOff(const FrameReader& read,
                          const ScanDecodeInput& input,
                          double gap,
                          const std::function<void(const std::string&)>& report,
                          ScanReading* reading,
                          ScanDecodeResult* result) {
  for (double other : {input.settleOffset - gap, input.settleOffset + gap}) {
    if ((holds(*reading) && seesLeds(*reading)) || gap <= 0) break;
    if (other < 0) continue;  // before the mark: try the later one
    ScanReading again;
    ScanDecodeResult retried;
    if (!readScanAt(
            read, nullptr, input, other, report, &retried, &again, nullptr) ||
        !holds(again) || !seesLeds(again))
      continue;
    report("The settle timing was a pattern off: the frames were read " +
           std::to_string(std::lround(other * 1000)) + " ms after their marks");
    *reading = std::move(again);
    *result = std::move(retried);
  }
}

// The LEDs of a reading that held, kept to the session's nodes and snapped
// to the grid: the result's records.
bool keepReading(const ScanDecodeInput& input,
                 const std::function<void(const std::string&)>& report,
                 ScanReading* reading,
                 ScanDecodeResult* result,
                 std::string* error) {
  std::vector<DecodedLed>& decoded = reading->decoded;
  int32_t count = reading->count;
  if (count >= 0 && !input.nodeOfLed.empty()) {
    count = keepNodes(input.nodeOfLed, &decoded, count);
    std::vector<std::pair<int32_t, std::string>> orders;
    for (auto& [id, order] : result->ledOrders)
      if (id >= 1 && static_cast<size_t>(id) <= input.nodeOfLed.size() &&
          input.nodeOfLed[static_cast<size_t>(id) - 1] > 0)
        orders.push_back({input.nodeOfLed[static_cast<size_t>(id) - 1], order});
    result->ledOrders = std::move(orders);
  }
  const DecodeError why = reading->why;
  if (count < 0) {
    if (error)
      *error =
          why == DecodeError::kNoBaseline || why == DecodeError::kNoFlood
              ? std::string("decode failed (no baseline/flood)")
              : std::string("decode failed (") + decodeErrorText(why) + ")";
    return false;
  }
  decoded.resize(static_cast<size_t>(count));

  report(std::string("Building model") + kEllipsis);
  std::vector<GridPoint> points;
  points.reserve(decoded.size());
  for (const DecodedLed& led : decoded)
    points.push_back(
        {led.id, led.normX, led.normY, led.x, led.y, led.estimated});
  result->grid.reset(snapToGrid(points, -1, -1));
  if (!result->grid) {
    if (error) *error = "grid snap failed";
    return false;
  }
  result->leds = std::move(decoded);
  result->width = reading->width;
  result->height = reading->height;
  result->ledCount =
      input.nodeOfLed.empty()
          ? input.ledCount
          : static_cast<int32_t>(std::count_if(
                input.nodeOfLed.begin(), input.nodeOfLed.end(), [](int32_t n) {
                  return n > 0;
                }));
  return true;
}

}  // namespace

bool decodeScan(const FrameReader& read,
                const ScanDecodeInput& input,
                const std::function<void(const std::string&)>& report,
                ScanDecodeResult* result,
                std::string* error) {
  auto fail = [&](const std::string& message) {
    if (error) *error = message;
    return false;
  };
  const double gap = medianGap(input.markTimes);
  PatternFrames* ahead =
      input.framesReadAhead &&
              input.framesReadAhead->offset == input.settleOffset
          ? input.framesReadAhead
          : nullptr;
  double interval = 0;
  if (cameraTooSlow(read, input, ahead, gap, result, &interval))
    return fail(cameraTooSlowMessage(1 / interval));
  ScanReading reading;
  if (!readScanAt(read,
                  ahead,
                  input,
                  input.settleOffset,
                  report,
                  result,
                  &reading,
                  error))
    return false;
  readAgainAPatternOff(read, input, gap, report, &reading, result);
  // Spots blinked, yet no LED was read at any of the three offsets: the
  // frames do not line up with their patterns (a prop out of sight shows
  // no spot and is left to the caller's "no LEDs" message).
  if (!reading.timingHolds ||
      (!seesLeds(reading) && spotsBlinked(result->stats)))
    return fail(kScanTimingFailed);
  if (!reading.idsHoldTogether) return fail(kIdsDoNotHoldTogether);
  return keepReading(input, report, &reading, result, error);
}

bool decodeScanDataFolder(const std::filesystem::path& folder,
                          const std::function<void(const std::string&)>& report,
                          ScanDecodeResult* result,
                          std::string* error) {
  SavedScan saved;
  if (!readScanDataFolder(folder, &saved, error)) return false;

  // The plan the scan used: the LEDs as one block, the product's passes,
  // and the protocol the metadata names. The pattern frames and their
  // decoder tables depend on the LED count only, not on the port layout.
  // Null pixels inside a port were scanned as positions of their own.
  const auto positions =
      saved.totalLEDs + static_cast<int32_t>(saved.skippedIds.size());
  std::vector<int32_t> nodeOfLed;
  if (!saved.skippedIds.empty()) {
    nodeOfLed.assign(static_cast<size_t>(positions), 1);
    for (int32_t id : saved.skippedIds)
      if (id >= 1 && id <= positions)
        nodeOfLed[static_cast<size_t>(id) - 1] = 0;
    int32_t node = 0;
    for (int32_t& n : nodeOfLed) n = n ? ++node : 0;
  }
  PortGroup group{0, positions, 3};
  ScanPlanPtr plan(
      buildScanPlan(std::span(&group, 1),
                    positions,
                    kScanPasses,
                    saved.patternProtocol == kProtocolGrayRgbMuxCd1));
  if (!plan) {
    if (error) *error = "could not build scan plan";
    return false;
  }
  if (static_cast<int32_t>(saved.timeline.size()) !=
      planFrameCount(plan.get())) {
    if (error)
      *error = "the timeline has " + std::to_string(saved.timeline.size()) +
               " patterns, the plan " +
               std::to_string(planFrameCount(plan.get()));
    return false;
  }
  std::vector<double> markTimes;
  markTimes.reserve(saved.timeline.size());
  for (const TimelineEntry& entry : saved.timeline)
    markTimes.push_back(entry.videoTimeSeconds);

  FrameReader read = recordingFrames(folder / saved.videoFile, error);
  if (!read) return false;
  std::vector<ScanPortRange> ports;
  for (const ScanExportRecord::Port& p : saved.ports)
    if (int64_t{p.first} + p.count <= positions)
      ports.push_back({p.port, p.first, p.count, p.colorOrder});
  CameraNoise noise;
  if (saved.cameraNoise) {
    noise.noiseR = (*saved.cameraNoise)[0];
    noise.noiseG = (*saved.cameraNoise)[1];
    noise.noiseB = (*saved.cameraNoise)[2];
    noise.noiseMax = std::max({noise.noiseR, noise.noiseG, noise.noiseB});
  }
  const ScanDecodeInput input{plan.get(),
                              markTimes,
                              saved.settleOffsetSec,
                              positions,
                              saved.cameraNoise ? &noise : nullptr,
                              nodeOfLed,
                              ports,
                              recordingFrames(folder / saved.videoFile)};
  return decodeScan(read, input, report, result, error);
}

}  // namespace pxo
