#include "scan/scan_run.h"

#include "output/scan_data.h"
#include "platform/utf8_path.h"
#include "scan/marked_recording.h"
#include "scan/read_ahead.h"
#include "scan/scan_decode.h"
#include "scan/session.h"
#include "scan/settle_timing.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>

namespace pxo {

namespace {

constexpr int32_t kPatternDwellMs = 200;
constexpr int32_t kTailDwellMs = 600;

// Where the recording goes: "scan.mp4" in a new scan-data folder when the
// session keeps scan data (and the folder could be made), otherwise
// the session's own "pxo_scan_<tag>.mp4" in the temporary directory.
std::filesystem::path recordingPath(ScanSession& session) {
  session.scanDataFolder.clear();
  if (!session.scanDataDir.empty()) {
    std::filesystem::path folder = createScanDataFolder(
        platform::pathFromUtf8(session.scanDataDir), nullptr);
    if (!folder.empty()) {
      session.scanDataFolder = platform::pathToUtf8(folder);
      return folder / "scan.mp4";
    }
  }
  return sessionTempFile(session, "pxo_scan");
}

std::vector<MarkedStep> patternSteps(const ScanSession& session) {
  std::vector<MarkedStep> steps(static_cast<size_t>(session.frameCount));
  for (int32_t k = 0; k < session.frameCount; ++k) {
    MarkedStep& step = steps[static_cast<size_t>(k)];
    step.channels.assign(static_cast<size_t>(session.channelCount), 0);
    renderPatternFrame(session.plan.get(), k, step.channels);
    char label[kLabelBufferSize];
    (void)patternFrameLabel(session.plan.get(), k, label, sizeof label);
    step.label = label;
    step.dwellMs = kPatternDwellMs;
  }
  return steps;
}

// Stores the decoded scan as the session's results and one more view.
void keepResults(ScanSession& session,
                 ScanDecodeResult& decoded,
                 const std::string& modelName) {
  session.grid = std::move(decoded.grid);
  session.observedCount = decoded.observedCount();
  session.resultLedCount = decoded.ledCount;
  session.hasResult = true;
  session.modelName = modelName;
  session.ledResults.clear();
  session.points2d.clear();
  ScanView view;
  view.width = static_cast<float>(decoded.width);
  view.height = static_cast<float>(decoded.height);
  for (const DecodedLed& led : decoded.leds) {
    session.ledResults.push_back(
        {led.id, led.normX, led.normY, led.estimated != 0});
    session.points2d.push_back({led.id, led.normX, led.normY});
    // As the scan data keeps them, so that a solve of the saved folders
    // comes out as this session's does.
    view.points.push_back({led.id,
                           static_cast<float>(asSavedNumber(led.x)),
                           static_cast<float>(asSavedNumber(led.y)),
                           led.estimated != 0});
  }
  session.views.push_back(std::move(view));
}

// The timeline and metadata of the scan-data folder; their failures do not
// fail the run.
void writeScanData(const ScanSession& session,
                   const std::filesystem::path& folder,
                   const std::vector<pxowin::CaptureMark>& marks,
                   const SettleMeasurement& settle,
                   const ScanDecodeResult& decoded) {
  const std::string now = formatLocalTimestamp();
  std::vector<TimelineEntry> timeline;
  timeline.reserve(marks.size());
  for (const pxowin::CaptureMark& m : marks)
    timeline.push_back({m.label, m.time, now});
  (void)writeTimelineFile(folder, timeline, 2, nullptr);

  ScanExportRecord record =
      buildScanExportRecord({planProtocolName(session.plan.get()),
                             static_cast<int32_t>(marks.size()),
                             decoded.width,
                             decoded.height,
                             decoded.ledCount,
                             decoded.leds,
                             &decoded.stats});
  record.wallTime = now;
  // Named only when there is one: a camera that sent nothing left none.
  std::error_code ec;
  if (std::filesystem::is_regular_file(folder / "scan.mp4", ec))
    record.videoFile = "scan.mp4";
  record.calibration = settleCalibrationRecord(settle);
  for (size_t i = 0; i < session.nodeOfLed.size(); ++i)
    if (session.nodeOfLed[i] == 0)
      record.skippedIDs.push_back(static_cast<int32_t>(i) + 1);
  for (const ScanPortRange& p : session.portRanges)
    record.ports.push_back({p.portNumber, p.first, p.count, p.colorOrder});
  record.colorOrderNotices = decoded.notices;
  // The records are in ascending ID order.
  for (const auto& [id, order] : decoded.ledOrders) {
    auto led = std::lower_bound(
        record.decodedLEDs.begin(),
        record.decodedLEDs.end(),
        id,
        [](const ExportedLed& e, int32_t wanted) { return e.led.id < wanted; });
    if (led != record.decodedLEDs.end() && led->led.id == id)
      led->colorOrder = order;
  }
  if (session.calibration.calibrated) {
    const CameraNoise& noise = session.calibration.noise;
    record.cameraNoise = {noise.noiseR, noise.noiseG, noise.noiseB};
    record.brightnessLevel = planLevel(session.plan.get());
    if (session.calibration.exposureSeconds > 0)
      record.exposureSeconds = session.calibration.exposureSeconds;
  }
  if (session.camera)
    if (const auto reorder = session.camera->streamReorder()) {
      record.reorderDepth = reorder->frames;
      record.reorderDepthFrom = reorder->from;
    }
  (void)writeMetadataFile(folder, record, nullptr);
}

}  // namespace

void runScan(ScanSession& session,
             std::string* modelFilePath,
             const std::string& modelName,
             std::string* error) {
  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  auto fail = [&](const std::string& message) {
    if (error && !message.empty()) *error = message;
  };
  modelFilePath->clear();
  if (!session.prepared || !session.camera || !session.plan)
    return fail("not prepared");
  pxowin::ICaptureSource& camera = *session.camera;
  auto report = [&](const std::string& message) { session.report(message); };

  (void)camera.lockCameraControls(std::nullopt);
  calibrateBrightness(session);
  if (session.stopRequested) return fail(kScanStopped);
  if (const std::string why = camera.failure(); !why.empty()) {
    // Measured from a camera that stopped, the calibration means nothing.
    session.calibration.calibrated = false;
    return fail(why);
  }
  if (session.calibration.tooBright) {
    // Nothing recorded; the next scan measures again (the user may have
    // dimmed the camera or moved it back).
    session.calibration.calibrated = false;
    return fail(kLedsTooBright);
  }

  const auto calibrated = Clock::now();
  const std::filesystem::path recording = recordingPath(session);
  report("Recording scan patterns\xE2\x80\xA6");
  // Frames are only ever read back at the decode size: recorded at it, a
  // camera bigger than that costs less to encode now and to decode later.
  camera.reduceNextRecording(kScanFrameMaxDimension);
  // Where the camera keeps the frames in memory as it records them, they
  // are read while the patterns play.
  auto ahead = std::make_unique<PatternReadAhead>(
      camera.keepFramesOfNextRecording(kScanFrameMaxDimension, kReadAheadBytes),
      session.plan.get(),
      session.frameCount);
  std::vector<pxowin::CaptureMark> marks;
  if (!recordMarkedSteps(session,
                         recording,
                         patternSteps(session),
                         {kTailDwellMs, true, {}},
                         &marks,
                         error)) {
    // A camera that failed part-way leaves what it recorded and when, for
    // a look at why.
    if (!session.stopRequested && !session.scanDataFolder.empty() &&
        !camera.failure().empty())
      writeScanData(session,
                    platform::pathFromUtf8(session.scanDataFolder),
                    marks,
                    SettleMeasurement{},
                    ScanDecodeResult{});
    return;
  }
  const auto recorded = Clock::now();
  if (static_cast<int32_t>(marks.size()) < session.frameCount)
    return fail("scan lost pattern marks (camera underran)");
  camera.stop();

  std::vector<double> markTimes;
  markTimes.reserve(marks.size());
  for (const pxowin::CaptureMark& m : marks) markTimes.push_back(m.time);
  SettleMeasurement settle;
  PatternFrames readAhead;
  const bool readAlready = ahead->take(&settle, &readAhead);
  const size_t keptFrameBytes = ahead->peakBytes();
  ahead.reset();
  if (!readAlready)
    settle = measureSettleTiming(
        cameraFrames(camera), session.plan.get(), markTimes, report);

  ScanDecodeResult decoded;
  const ScanDecodeInput input{
      session.plan.get(),
      markTimes,
      settle.offset,
      session.ledCount,
      session.calibration.calibrated ? &session.calibration.noise : nullptr,
      session.nodeOfLed,
      session.portRanges,
      recordingFrames(recording),
      readAlready ? &readAhead : nullptr};
  if (!decodeScan(cameraFrames(camera), input, report, &decoded, error)) {
    // The recording, its timeline and the calibration are kept for a look
    // at why (pixoria decode reads them again).
    if (!session.scanDataFolder.empty()) {
      decoded.ledCount = session.ledCount;
      if (!session.nodeOfLed.empty())
        decoded.ledCount = static_cast<int32_t>(
            std::count_if(session.nodeOfLed.begin(),
                          session.nodeOfLed.end(),
                          [](int32_t node) { return node > 0; }));
      writeScanData(session,
                    platform::pathFromUtf8(session.scanDataFolder),
                    marks,
                    settle,
                    decoded);
    }
    return;
  }

  // A scan that saw no LED has nothing to estimate from: a model of guesses
  // would look like a result. Its scan data is kept for a look at why.
  for (const std::string& notice : decoded.notices) report(notice);
  if (decoded.stats.overlapping > 0)
    report(overlappingLedsNotice(decoded.stats.overlapping));
  const int32_t observed = decoded.observedCount();
  if (observed == 0) {
    if (!session.scanDataFolder.empty())
      writeScanData(session,
                    platform::pathFromUtf8(session.scanDataFolder),
                    marks,
                    settle,
                    decoded);
    return fail(kNoLedsDecoded);
  }
  std::string warning;
  if (2 * observed < decoded.ledCount) {
    warning = "Only " + std::to_string(observed) + " of " +
              std::to_string(decoded.ledCount) +
              " LEDs were seen; the rest are estimates \xE2\x80\x94 check "
              "the prop is in view, lit, in focus and bright enough";
    report(warning);
  }

  keepResults(session, decoded, modelName);
  session.lastRun =
      ScanRunRecord{decoded.leds, marks, settle.offset, 0, 0, 0, warning};
  session.lastRun.readWhileRecording = readAlready;
  session.lastRun.keptFrameBytes = keptFrameBytes;
  session.lastRun.overlapping = decoded.stats.overlapping;
  const std::string path = writeModelFile(
      modelOutputInputs(session), ModelOutputKind::kCustomGrid, error);
  if (path.empty()) return;
  if (!session.scanDataFolder.empty())
    writeScanData(session,
                  platform::pathFromUtf8(session.scanDataFolder),
                  marks,
                  settle,
                  decoded);

  *modelFilePath = path;
  session.lastRun.calibrationSeconds =
      std::chrono::duration<double>(calibrated - started).count();
  session.lastRun.recordingSeconds =
      std::chrono::duration<double>(recorded - started).count();
  session.lastRun.processingSeconds =
      std::chrono::duration<double>(Clock::now() - recorded).count();
}

}  // namespace pxo
