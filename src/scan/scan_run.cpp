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

using Clock = std::chrono::steady_clock;

// How far a run came, which is what its scan data can show.
enum class RunEnd {
  kNotRecorded,      // not prepared, the calibration failed or was stopped
  kRecordingFailed,  // the recording did not start, was stopped or failed
  kMarksLost,        // the camera underran
  kDecodeFailed,
  kNoLedSeen,
  kModelNotWritten,
  kFinished,
};

// What one run gathers, step by step.
struct RunRecord {
  std::filesystem::path recording;
  // Reads the frames while the patterns play, where the camera keeps them.
  std::unique_ptr<PatternReadAhead> ahead;
  std::vector<pxowin::CaptureMark> marks;
  std::vector<double> markTimes;  // the marks' times, which the decode reads
  SettleMeasurement settle;
  bool readAlready = false;
  PatternFrames readAhead;
  size_t keptFrameBytes = 0;
  ScanDecodeResult decoded;
  Clock::time_point calibrated;
  Clock::time_point recorded;
};

RunEnd failWith(RunEnd end, const std::string& message, std::string* error) {
  if (error && !message.empty()) *error = message;
  return end;
}

// Locks the camera's controls and measures the brightness; "" when the
// scan may go on, else why not.
std::string calibrate(ScanSession& session) {
  pxowin::ICaptureSource& camera = *session.camera;
  (void)camera.lockCameraControls(std::nullopt);
  calibrateBrightness(session);
  if (session.stopRequested) return kScanStopped;
  if (std::string why = camera.failure(); !why.empty()) {
    // Measured from a camera that stopped, the calibration means nothing.
    session.calibration.calibrated = false;
    return why;
  }
  if (session.calibration.tooBright) {
    // Nothing recorded; the next scan measures again (the user may have
    // dimmed the camera or moved it back).
    session.calibration.calibrated = false;
    return kLedsTooBright;
  }
  return {};
}

// Records the camera while the patterns play; false with the camera's or
// the recording's message.
bool recordPatterns(ScanSession& session, RunRecord* run, std::string* error) {
  pxowin::ICaptureSource& camera = *session.camera;
  run->recording = recordingPath(session);
  session.report("Recording scan patterns\xE2\x80\xA6");
  // Frames are only ever read back at the decode size: recorded at it, a
  // camera bigger than that costs less to encode now and to decode later.
  camera.reduceNextRecording(kScanFrameMaxDimension);
  run->ahead = std::make_unique<PatternReadAhead>(
      camera.keepFramesOfNextRecording(kScanFrameMaxDimension, kReadAheadBytes),
      session.plan.get(),
      session.frameCount);
  return recordMarkedSteps(session,
                           run->recording,
                           patternSteps(session),
                           {kTailDwellMs, true, {}},
                           &run->marks,
                           error);
}

// The settle timing and the patterns' frames, from those read while the
// patterns played where they all were, else measured from the recording.
void findSettleTiming(ScanSession& session, RunRecord* run) {
  run->markTimes.reserve(run->marks.size());
  for (const pxowin::CaptureMark& m : run->marks)
    run->markTimes.push_back(m.time);
  run->readAlready = run->ahead->take(&run->settle, &run->readAhead);
  run->keptFrameBytes = run->ahead->peakBytes();
  run->ahead.reset();
  if (!run->readAlready)
    run->settle = measureSettleTiming(
        cameraFrames(*session.camera),
        session.plan.get(),
        run->markTimes,
        [&](const std::string& message) { session.report(message); });
}

bool decodeRecording(ScanSession& session, RunRecord* run, std::string* error) {
  const ScanDecodeInput input{
      session.plan.get(),
      run->markTimes,
      run->settle.offset,
      session.ledCount,
      session.calibration.calibrated ? &session.calibration.noise : nullptr,
      session.nodeOfLed,
      session.portRanges,
      recordingFrames(run->recording),
      run->readAlready ? &run->readAhead : nullptr};
  return decodeScan(
      cameraFrames(*session.camera),
      input,
      [&](const std::string& message) { session.report(message); },
      &run->decoded,
      error);
}

// Tells what the decode found, keeps it as the session's results and
// writes the model. A scan that saw no LED has nothing to estimate from: a
// model of guesses would look like a result.
RunEnd keepDecodedScan(ScanSession& session,
                       const std::string& modelName,
                       RunRecord* run,
                       std::string* modelFilePath,
                       std::string* error) {
  ScanDecodeResult& decoded = run->decoded;
  for (const std::string& notice : decoded.notices) session.report(notice);
  if (decoded.stats.overlapping > 0)
    session.report(overlappingLedsNotice(decoded.stats.overlapping));
  const int32_t observed = decoded.observedCount();
  if (observed == 0) return failWith(RunEnd::kNoLedSeen, kNoLedsDecoded, error);
  std::string warning;
  if (2 * observed < decoded.ledCount) {
    warning = "Only " + std::to_string(observed) + " of " +
              std::to_string(decoded.ledCount) +
              " LEDs were seen; the rest are estimates \xE2\x80\x94 check "
              "the prop is in view, lit, in focus and bright enough";
    session.report(warning);
  }
  keepResults(session, decoded, modelName);
  session.lastRun = ScanRunRecord{
      decoded.leds, run->marks, run->settle.offset, 0, 0, 0, warning};
  session.lastRun.readWhileRecording = run->readAlready;
  session.lastRun.keptFrameBytes = run->keptFrameBytes;
  session.lastRun.overlapping = decoded.stats.overlapping;
  *modelFilePath = writeModelFile(
      modelOutputInputs(session), ModelOutputKind::kCustomGrid, error);
  return modelFilePath->empty() ? RunEnd::kModelNotWritten : RunEnd::kFinished;
}

// The LEDs the session drives: those of its ports' nodes where it maps
// them, else all of them.
int32_t drivenLedCount(const ScanSession& session) {
  if (session.nodeOfLed.empty()) return session.ledCount;
  return static_cast<int32_t>(std::count_if(
      session.nodeOfLed.begin(), session.nodeOfLed.end(), [](int32_t node) {
        return node > 0;
      }));
}

// The one place that decides what the scan-data folder keeps of a run. A
// camera that failed part-way leaves what it recorded and when; a decode
// that failed or saw no LED leaves the recording, its timeline and the
// calibration for a look at why (pixoria decode reads them again); a
// finished scan leaves everything. A run that was stopped, recorded
// nothing, lost its marks or could not write its model leaves nothing
// more than the recording itself.
void keepScanData(const ScanSession& session, RunEnd end, RunRecord* run) {
  if (session.scanDataFolder.empty()) return;
  switch (end) {
    case RunEnd::kRecordingFailed:
      if (session.stopRequested || session.camera->failure().empty()) return;
      break;
    case RunEnd::kDecodeFailed:
      run->decoded.ledCount = drivenLedCount(session);
      break;
    case RunEnd::kNoLedSeen:
    case RunEnd::kFinished:
      break;
    case RunEnd::kNotRecorded:
    case RunEnd::kMarksLost:
    case RunEnd::kModelNotWritten:
      return;
  }
  writeScanData(session,
                platform::pathFromUtf8(session.scanDataFolder),
                run->marks,
                run->settle,
                run->decoded);
}

// The run's steps in order; each failure ends it where it happened.
RunEnd runSteps(ScanSession& session,
                const std::string& modelName,
                RunRecord* run,
                std::string* modelFilePath,
                std::string* error) {
  if (!session.prepared || !session.camera || !session.plan)
    return failWith(RunEnd::kNotRecorded, "not prepared", error);
  if (std::string why = calibrate(session); !why.empty())
    return failWith(RunEnd::kNotRecorded, why, error);
  run->calibrated = Clock::now();
  if (!recordPatterns(session, run, error)) return RunEnd::kRecordingFailed;
  run->recorded = Clock::now();
  if (static_cast<int32_t>(run->marks.size()) < session.frameCount)
    return failWith(
        RunEnd::kMarksLost, "scan lost pattern marks (camera underran)", error);
  session.camera->stop();
  findSettleTiming(session, run);
  if (!decodeRecording(session, run, error)) return RunEnd::kDecodeFailed;
  return keepDecodedScan(session, modelName, run, modelFilePath, error);
}

}  // namespace

void runScan(ScanSession& session,
             std::string* modelFilePath,
             const std::string& modelName,
             std::string* error) {
  const auto started = Clock::now();
  modelFilePath->clear();
  RunRecord run;
  const RunEnd end = runSteps(session, modelName, &run, modelFilePath, error);
  keepScanData(session, end, &run);
  if (end != RunEnd::kFinished) return;
  auto seconds = [](Clock::duration d) {
    return std::chrono::duration<double>(d).count();
  };
  session.lastRun.calibrationSeconds = seconds(run.calibrated - started);
  session.lastRun.recordingSeconds = seconds(run.recorded - started);
  session.lastRun.processingSeconds = seconds(Clock::now() - run.recorded);
}

}  // namespace pxo
