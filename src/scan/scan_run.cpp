#include "scan/scan_run.h"

#include "decode/led_decoder.h"
#include "output/scan_data.h"
#include "scan/frame_convert.h"
#include "scan/plan_decoding.h"
#include "scan/session.h"
#include "scan/sleep.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>

namespace pxo {

namespace {

constexpr int kPatternDwellMs = 200;
constexpr int kTailDwellMs = 600;
constexpr double kProbeStep = 1.0 / 30;
constexpr double kArrivalDistance = 20.0;
constexpr double kPlateauDistance = 8.0;
constexpr char kEllipsis[] = "\xE2\x80\xA6";

double probeDistance(const std::array<double, 3>& a,
                     const std::array<double, 3>& b) {
  return std::fabs(a[0] - b[0]) + std::fabs(a[1] - b[1]) +
         std::fabs(a[2] - b[2]);
}

}  // namespace

double medianMarkGap(std::span<const double> markTimes) {
  std::vector<double> gaps;
  for (size_t i = 1; i < markTimes.size(); ++i)
    gaps.push_back(markTimes[i] - markTimes[i - 1]);
  if (gaps.empty()) return 0.2;
  std::sort(gaps.begin(), gaps.end());
  return gaps[gaps.size() / 2];
}

std::vector<double> settleProbeOffsets(double medianGap) {
  std::vector<double> offsets;
  for (double t = kProbeStep; t <= medianGap + 0.45 + 0.000001; t += kProbeStep)
    offsets.push_back(t);
  while (offsets.size() < 4)
    offsets.push_back((offsets.empty() ? 0.0 : offsets.back()) + kProbeStep);
  return offsets;
}

double calibrateSettleTiming(
    std::span<const std::vector<std::array<double, 3>>> floods,
    std::span<const double> offsets,
    double medianGap,
    SettleTiming* timing) {
  SettleTiming t;
  t.medianGapSec = medianGap;
  const auto probes = static_cast<int32_t>(offsets.size());
  if (floods.empty() || probes < 4) {
    *timing = t;
    return -1;
  }
  std::vector<double> settles;
  std::vector<int32_t> arrivals;
  for (size_t f = 0; f < floods.size() && f < 3; ++f) {
    const auto& means = floods[f];
    std::vector<int32_t> valid;
    for (int32_t j = 0; j < probes && j < static_cast<int32_t>(means.size());
         ++j)
      if (means[j][0] >= 0) valid.push_back(j);
    if (valid.empty()) continue;
    const auto& reference = means[valid[0]];
    int32_t arrival = -1;
    size_t arrivalAt = 0;
    for (size_t k = 0; k < valid.size(); ++k)
      if (probeDistance(means[valid[k]], reference) > kArrivalDistance) {
        arrival = valid[k];
        arrivalAt = k;
        break;
      }
    if (arrival < 0) continue;
    int32_t plateau = -1;
    int32_t previous = arrival;
    for (size_t k = arrivalAt + 1; k < valid.size(); ++k) {
      if (probeDistance(means[valid[k]], means[previous]) < kPlateauDistance) {
        plateau = valid[k];
        break;
      }
      previous = valid[k];
    }
    if (plateau < 0) plateau = valid.back();
    t.arrivalProbeIdx[f] = arrival;
    t.plateauProbeIdx[f] = plateau;
    settles.push_back(offsets[static_cast<size_t>(plateau)]);
    arrivals.push_back(arrival);
  }
  if (settles.empty()) {
    *timing = t;
    return -1;
  }
  std::sort(settles.begin(), settles.end());
  t.medianSettleSec = settles[settles.size() / 2];
  t.settledFloods = static_cast<int32_t>(settles.size());
  const double gap = medianGap;
  double effective;
  if (t.medianSettleSec < gap) {
    effective = std::min(std::max(t.medianSettleSec + 0.4 * gap, 0.12),
                         std::max(t.medianSettleSec + gap - 0.04, 0.12));
  } else {
    std::sort(arrivals.begin(), arrivals.end());
    int32_t m = arrivals[arrivals.size() / 2];
    if (m >= 0 && m < probes && offsets[static_cast<size_t>(m)] > 0 &&
        offsets[static_cast<size_t>(m)] < gap) {
      effective = (offsets[static_cast<size_t>(m)] + gap) * 0.5;
      t.usedArrivalRescue = 1;
    } else {
      effective =
          std::min(std::max(0.5 * gap, 0.12), std::max(gap - 0.04, 0.12));
      t.usedMidDwellFallback = 1;
    }
  }
  t.effectiveOffsetSec = effective;
  *timing = t;
  return effective;
}

const char* settleStatus(const SettleTiming& timing, double usedOffset) {
  if (usedOffset == kStaticSettleOffset && timing.effectiveOffsetSec < 0)
    return "static-fallback";
  if (timing.usedMidDwellFallback) return "mid-dwell-fallback";
  if (timing.usedArrivalRescue) return "arrival-rescue";
  return "calibrated";
}

void runScan(ScanSession& session,
             std::string* modelFilePath,
             const std::string& modelName,
             std::string* error) {
  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  auto fail = [&](const std::string& message) {
    modelFilePath->clear();
    if (error && !message.empty()) *error = message;
  };
  modelFilePath->clear();
  if (!session.prepared || !session.camera || !session.plan)
    return fail("not prepared");
  pxowin::ICaptureSource& camera = *session.camera;
  ScanPlan* plan = session.plan.get();

  (void)camera.lockCameraControls(std::nullopt);
  calibrateBrightness(session);

  // Where the recording goes.
  std::filesystem::path recording =
      std::filesystem::temp_directory_path() / "pxo_scan.mp4";
  std::filesystem::path dataFolder;
  session.scanDataFolder.clear();
  if (!session.scanDataDir.empty()) {
    dataFolder = createScanDataFolder(session.scanDataDir, nullptr);
    if (!dataFolder.empty()) {
      session.scanDataFolder = dataFolder.string();
      recording = dataFolder / "scan.mp4";
    }
  }

  // Record the patterns, each marked as it is sent.
  session.report(std::string("Recording scan patterns") + kEllipsis);
  if (!camera.startRecording(recording, error)) {
    modelFilePath->clear();
    return;
  }
  (void)camera.waitForRecordedFrame(5.0);
  for (int32_t k = 0; k < session.frameCount; ++k) {
    std::vector<uint8_t> frame(static_cast<size_t>(session.channelCount), 0);
    renderPatternFrame(plan, k, frame);
    session.player.setCurrentFrame(frame);
    (void)sendDdpFrame(session.sender.get(), frame, 0);
    char label[kLabelBufferSize];
    (void)patternFrameLabel(plan, k, label, sizeof label);
    camera.addMark(label);
    sleepMilliseconds(kPatternDwellMs);
  }
  sleepMilliseconds(kTailDwellMs);
  (void)sendDdpBlackout(session.sender.get(), session.channelCount);
  (void)camera.stopRecording();
  std::vector<pxowin::CaptureMark> marks = camera.takeMarks();
  const auto recorded = Clock::now();
  if (static_cast<int32_t>(marks.size()) < session.frameCount)
    return fail("scan lost pattern marks (camera underran)");
  camera.stop();

  // Settle timing from probes around the three floods.
  session.report(std::string("Calibrating settle timing") + kEllipsis);
  std::vector<double> markTimes;
  markTimes.reserve(marks.size());
  for (const pxowin::CaptureMark& m : marks) markTimes.push_back(m.time);
  const double gap = medianMarkGap(markTimes);
  const std::vector<double> offsets = settleProbeOffsets(gap);
  std::vector<std::vector<std::array<double, 3>>> probeMeans(3);
  const auto total = static_cast<int32_t>(3 * offsets.size());
  int32_t counter = 0;
  for (int32_t c = 0; c < 3; ++c) {
    const double markTime =
        marks[static_cast<size_t>(floodFrameIndex(plan, c))].time;
    for (double offset : offsets) {
      session.report(std::string("Calibrating settle timing") + kEllipsis +
                     " " + std::to_string(++counter) + "/" +
                     std::to_string(total));
      pxowin::BgraFrame frame;
      std::array<double, 3> mean = {-1, -1, -1};
      if (camera.extractFrame(markTime + offset, 128, frame, nullptr) &&
          !frame.pixels.empty()) {
        double sum[3] = {0, 0, 0};
        const size_t pixels = static_cast<size_t>(frame.width) * frame.height;
        for (int32_t y = 0; y < frame.height; ++y) {
          const uint8_t* row =
              frame.pixels.data() + static_cast<size_t>(y) * frame.stride;
          for (int32_t x = 0; x < frame.width; ++x) {
            sum[0] += row[size_t{4} * x + 2];
            sum[1] += row[size_t{4} * x + 1];
            sum[2] += row[size_t{4} * x];
          }
        }
        for (int k = 0; k < 3; ++k) mean[k] = sum[k] / double(pixels);
      }
      probeMeans[static_cast<size_t>(c)].push_back(mean);
    }
  }
  SettleTiming timing;
  double offset = calibrateSettleTiming(probeMeans, offsets, gap, &timing);
  if (offset < 0) offset = kStaticSettleOffset;

  // One frame per mark, shown `offset` after it.
  std::vector<FramePlanes> frames(marks.size());
  int32_t width = 0, height = 0;
  for (size_t i = 0; i < marks.size(); ++i) {
    session.report(std::string("Extracting scan frames") + kEllipsis + " " +
                   std::to_string(i + 1) + "/" + std::to_string(marks.size()));
    int32_t w = 0, h = 0;
    if (!extractPlanes(
            camera, marks[i].time + offset, 1024, &frames[i], &w, &h))
      continue;
    if (width == 0) {
      width = w;
      height = h;
    }
    if (w != width || h != height) frames[i] = FramePlanes{};
  }
  if (width == 0) return fail("could not extract any scan frames");
  // Frames that failed stay empty; the decoder needs every plane, so they
  // become black pictures that read as "off".
  for (FramePlanes& f : frames)
    if (f.plane[0].empty())
      for (auto& plane : f.plane)
        plane.assign(static_cast<size_t>(width) * height, 0);

  const PlanDecoding decoding = planDecoding(plan);
  DecodeOptions options =
      decoding.options(plan, width, height, session.ledCount);
  if (session.calibration.calibrated) {
    const double noise[3] = {session.calibration.noise.noiseR,
                             session.calibration.noise.noiseG,
                             session.calibration.noise.noiseB};
    for (int c = 0; c < 3; ++c) {
      auto raised =
          static_cast<int32_t>(std::min(std::ceil(4.0 * noise[c]), 200.0));
      options.peakThreshold[c] = std::max(options.peakThreshold[c], raised);
    }
  }

  session.report(std::string("Decoding pixel positions") + kEllipsis);
  std::vector<DecodedLed> decoded(static_cast<size_t>(session.ledCount));
  DecodeStats stats;
  int32_t count =
      decodeLeds(frames, markTimes, decoding.tables, options, decoded, &stats);
  frames.clear();
  if (count < 0) return fail("decode failed (no baseline/flood)");
  decoded.resize(static_cast<size_t>(count));

  session.report(std::string("Building model") + kEllipsis);
  std::vector<GridPoint> points;
  points.reserve(decoded.size());
  for (const DecodedLed& led : decoded)
    points.push_back(
        {led.id, led.normX, led.normY, led.x, led.y, led.estimated});
  ModelGridPtr grid(snapToGrid(points, -1, -1));
  if (!grid) return fail("grid snap failed");

  // Session results.
  session.grid = std::move(grid);
  session.observedCount = static_cast<int32_t>(
      std::count_if(decoded.begin(), decoded.end(), [](const DecodedLed& l) {
        return !l.estimated;
      }));
  session.resultLedCount = session.ledCount;
  session.hasResult = true;
  session.modelName = modelName;
  session.ledResults.clear();
  session.points2d.clear();
  ScanView view;
  view.width = static_cast<float>(width);
  view.height = static_cast<float>(height);
  for (const DecodedLed& led : decoded) {
    session.ledResults.push_back(
        {led.id, led.normX, led.normY, led.estimated != 0});
    session.points2d.push_back({led.id, led.normX, led.normY});
    view.points.push_back({led.id,
                           static_cast<float>(led.x),
                           static_cast<float>(led.y),
                           led.estimated != 0});
  }
  session.views.push_back(std::move(view));
  session.lastDecoded = decoded;
  session.lastMarks = marks;
  session.lastSettleOffset = offset;

  ModelOutputInputs inputs = modelOutputInputs(session);
  std::string path =
      writeModelFile(inputs, ModelOutputKind::kCustomGrid, error);
  if (path.empty()) {
    modelFilePath->clear();
    return;
  }

  if (!dataFolder.empty()) {
    const std::string now = formatLocalTimestamp();
    std::vector<TimelineEntry> timeline;
    timeline.reserve(marks.size());
    for (const pxowin::CaptureMark& m : marks)
      timeline.push_back({m.label, m.time, now});
    (void)writeTimelineFile(dataFolder, timeline, 2, nullptr);

    ScanExportRecord record;
    record.patternProtocol = planProtocolName(plan);
    record.wallTime = now;
    record.videoFile = "scan.mp4";
    record.frameCount = static_cast<int32_t>(marks.size());
    record.imageWidth = width;
    record.imageHeight = height;
    record.totalLEDs = session.ledCount;
    record.decodedValid = count;
    record.signalPeakCount = stats.signalPeakCount;
    record.signalHistogram.assign(stats.signalHistogram.begin(),
                                  stats.signalHistogram.end());
    std::vector<uint8_t> seen(static_cast<size_t>(session.ledCount) + 1, 0);
    for (const DecodedLed& led : decoded)
      if (led.id >= 1 && led.id <= session.ledCount)
        seen[static_cast<size_t>(led.id)] = 1;
    for (int32_t id = 1; id <= session.ledCount; ++id)
      if (!seen[static_cast<size_t>(id)]) record.missingIDs.push_back(id);
    std::vector<double> nearest;
    for (const DecodedLed& a : decoded) {
      if (a.estimated) continue;
      double best = INFINITY;
      for (const DecodedLed& b : decoded)
        if (&a != &b && !b.estimated)
          best = std::min(best, std::hypot(a.x - b.x, a.y - b.y));
      if (std::isfinite(best)) nearest.push_back(best);
    }
    if (nearest.size() >= 2) {
      std::sort(nearest.begin(), nearest.end());
      record.spacingEstimate = nearest[nearest.size() / 2];
    }
    std::pair<int32_t, int32_t> previous{0, 0};
    for (size_t f = 0; f < marks.size(); ++f) {
      std::pair<int32_t, int32_t> rounded{
          static_cast<int32_t>(std::lround(stats.frameTranslations[2 * f])),
          static_cast<int32_t>(
              std::lround(stats.frameTranslations[2 * f + 1]))};
      record.frameTranslations.push_back(rounded);
      record.rawFrameDeltas.push_back(
          {rounded.first - previous.first, rounded.second - previous.second});
      previous = rounded;
    }
    record.outlierFrames = stats.outlierFrames;
    for (const DecodedLed& led : decoded)
      record.decodedLEDs.push_back({led, std::nullopt});
    CalibrationRecord calibration;
    calibration.status = settleStatus(timing, offset);
    calibration.effectiveOffsetSec = offset;
    calibration.medianGapSec = timing.medianGapSec;
    calibration.medianSettleSec = timing.medianSettleSec;
    calibration.usedMidDwellFallback = timing.usedMidDwellFallback != 0;
    calibration.usedArrivalRescue = timing.usedArrivalRescue != 0;
    calibration.usedStaticFallback = offset == kStaticSettleOffset;
    calibration.probeOffsetsSec = offsets;
    const char* floodLabels[3] = {"R-full", "G-full", "B-full"};
    for (int c = 0; c < 3; ++c) {
      calibration.floods.push_back({floodLabels[c],
                                    timing.arrivalProbeIdx[c],
                                    timing.plateauProbeIdx[c]});
      for (const auto& mean : probeMeans[static_cast<size_t>(c)])
        calibration.probeMeans.insert(
            calibration.probeMeans.end(), mean.begin(), mean.end());
    }
    record.calibration = calibration;
    (void)writeMetadataFile(dataFolder, record, nullptr);
  }

  *modelFilePath = path;
  session.lastRecordingSeconds =
      std::chrono::duration<double>(recorded - started).count();
  session.lastProcessingSeconds =
      std::chrono::duration<double>(Clock::now() - recorded).count();
}

}  // namespace pxo
