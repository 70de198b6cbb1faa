#include "capture/recording_source.h"

#include "capture/rtsp/h264_depacketizer.h"
#include "capture/stream_file.h"
#include "platform/utf8_path.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#include <utility>

namespace pxowin {
namespace {

// How far back the least delay is looked for: long enough to hold a frame
// that came straight through, short enough that the clocks do not drift.
constexpr double kDelayWindowSeconds = 3;
// A delay this far from the least is the source's clock restarting, not a
// frame held up.
constexpr double kClockJumpSeconds = 2;

}  // namespace

RecordingCaptureSource::RecordingCaptureSource()
    : extractor_(createRecordingReader()) {}

RecordingCaptureSource::~RecordingCaptureSource() {
  stopRecordingAndExtraction();
}

void RecordingCaptureSource::setFrameCallback(FrameCallback callback) {
  std::lock_guard lock(stateMutex_);
  callback_ = std::move(callback);
}

void RecordingCaptureSource::reduceNextRecording(int32_t maxDimension) {
  std::lock_guard lock(stateMutex_);
  nextRecordingMax_ = std::max(maxDimension, 0);
}

std::shared_ptr<RecordedFrames>
RecordingCaptureSource::keepFramesOfNextRecording(int32_t maxDimension,
                                                  size_t maxBytes) {
  std::lock_guard lock(stateMutex_);
  if (nextKept_) nextKept_->finish();
  nextKept_ =
      std::make_shared<RecordedFrames>(maxDimension, maxBytes, 1 / nominalFps_);
  return nextKept_;
}

void RecordingCaptureSource::endKeptFrames() {
  if (kept_) kept_->finish();
  kept_.reset();
}

bool RecordingCaptureSource::startRecording(const std::filesystem::path& path,
                                            std::string* error) {
  // Frames are read from the new file from now on, never from the last one.
  {
    std::lock_guard lock(extractorMutex_);
    extractor_->close();
  }
  // The writer opens on the first frame, when the size is known.
  std::lock_guard lock(stateMutex_);
  recordingMax_ = std::exchange(nextRecordingMax_, 0);
  endKeptFrames();
  kept_ = std::exchange(nextKept_, nullptr);
  if (writer_) (void)writer_->finish(nullptr);
  writer_.reset();
  if (encodedWriter_) (void)encodedWriter_->finish(nullptr);
  encodedWriter_.reset();
  timeline_ = DecodeTimeline();
  recordedDepth_.reset();
  recordFailure_.clear();
  recordFailed_ = false;
  recordBaseSet_ = false;
  marks_.clear();
  recordingPath_ = path;
  firstFrameRecorded_ = false;
  // Fail early when the file cannot be created at all.
  std::error_code ec;
  auto folder = path.parent_path();
  if (!folder.empty() && !std::filesystem::is_directory(folder, ec)) {
    if (error)
      *error = "could not create recording: " + pxo::platform::pathToUtf8(path);
    recording_ = false;
    endKeptFrames();
    return false;
  }
  recording_ = true;
  return true;
}

std::optional<std::filesystem::path> RecordingCaptureSource::stopRecording() {
  std::lock_guard lock(stateMutex_);
  if (!recording_.exchange(false)) {
    endKeptFrames();
    return std::nullopt;
  }
  // The writer hands on its last frames as it finishes.
  if (writer_) (void)writer_->finish(nullptr);
  writer_.reset();
  endKeptFrames();
  if (encodedWriter_) {
    timeline_.finish();
    writeReadyUnits();
    (void)encodedWriter_->finish(nullptr);
  }
  encodedWriter_.reset();
  timeline_ = DecodeTimeline();
  return recordingPath_;
}

std::optional<StreamReorder> RecordingCaptureSource::streamReorder() {
  std::lock_guard lock(stateMutex_);
  return recordedDepth_;
}

std::string RecordingCaptureSource::failure() {
  // Asked between the patterns: no wait for the lock the capture thread
  // holds while it writes a frame, unless there is something to say.
  if (!recordFailed_) return "";
  std::lock_guard lock(stateMutex_);
  return recordFailure_;
}

void RecordingCaptureSource::writeReadyUnits() {
  while (auto unit = timeline_.next())
    (void)encodedWriter_->write(
        unit->data, unit->presentation, unit->decode, unit->keyFrame);
  // The deepest depth the recording was written with.
  if (const auto depth = timeline_.depth()) {
    const auto frames = static_cast<int32_t>(*depth);
    if (!recordedDepth_ || frames >= recordedDepth_->frames)
      recordedDepth_ = StreamReorder{
          frames,
          timeline_.depthMeasured()
              ? "stream"
              : (declaredDepth_ ? declaredDepth_->from : std::string("sps"))};
  }
  if (!timeline_.failed().empty() && recordFailure_.empty()) {
    recordFailure_ = timeline_.failed();
    recordFailed_ = true;
  }
}

bool RecordingCaptureSource::waitForRecordedFrame(double timeoutSeconds) {
  if (firstFrameRecorded_) return true;
  auto deadline =
      std::chrono::steady_clock::now() +
      std::chrono::milliseconds(static_cast<int64_t>(timeoutSeconds * 1000));
  for (;;) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (firstFrameRecorded_) return true;
    // A recording that cannot be made will never have a frame.
    if (recordFailed_) return false;
  }
}

bool RecordingCaptureSource::waitForFrame(double timeoutSeconds) {
  const uint64_t before = framesDelivered_;
  auto deadline =
      std::chrono::steady_clock::now() +
      std::chrono::milliseconds(static_cast<int64_t>(timeoutSeconds * 1000));
  while (framesDelivered_ == before) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

double RecordingCaptureSource::recordingBase() {
  std::lock_guard lock(stateMutex_);
  return recordBaseSet_ ? recordBase_ : 0;
}

void RecordingCaptureSource::addMark(const std::string& label) {
  constexpr auto kStale = std::chrono::seconds(2);
  // The moment of the call, not of getting the lock: the capture thread
  // holds it while it encodes a frame.
  const auto calledAt = std::chrono::steady_clock::now();
  std::lock_guard lock(stateMutex_);
  if (recording_ && recordBaseSet_ && calledAt - latestArrival_ > kStale)
    return;
  const double time =
      recordBaseSet_ && !delays_.empty()
          ? steadySeconds(calledAt) - delays_.front().second - recordBase_
          : 0;
  marks_.push_back({label, std::max(time, 0.0)});
  if (kept_ && recording_) kept_->addMark(marks_.back().time);
}

std::vector<CaptureMark> RecordingCaptureSource::takeMarks() {
  std::lock_guard lock(stateMutex_);
  return std::exchange(marks_, {});
}

bool RecordingCaptureSource::extractFrame(double time,
                                          int32_t maxDimension,
                                          BgraFrame& out,
                                          std::string* error) {
  std::filesystem::path path;
  {
    std::lock_guard lock(stateMutex_);
    path = recordingPath_;
  }
  if (path.empty()) {
    if (error) *error = "no recording";
    return false;
  }
  std::lock_guard lock(extractorMutex_);
  if (!extractor_->isOpen() && !extractor_->open(path, error)) return false;
  return extractor_->frameAt(time, maxDimension, &out, error);
}

double RecordingCaptureSource::steadySeconds(
    std::chrono::steady_clock::time_point t) const {
  return std::chrono::duration<double>(t - epoch_).count();
}

void RecordingCaptureSource::noteSample(double sampleTime) {
  latestArrival_ = std::chrono::steady_clock::now();
  const double arrival = steadySeconds(latestArrival_);
  const double delay = arrival - sampleTime;
  if (!delays_.empty() &&
      std::abs(delay - delays_.front().second) > kClockJumpSeconds)
    delays_.clear();
  while (!delays_.empty() && delays_.back().second >= delay) delays_.pop_back();
  delays_.emplace_back(arrival, delay);
  while (delays_.front().first < arrival - kDelayWindowSeconds)
    delays_.pop_front();
}

void RecordingCaptureSource::deliverFrame(const BgraFrame& frame,
                                          double sampleTime) {
  FrameCallback callback;
  {
    std::lock_guard lock(stateMutex_);
    noteSample(sampleTime);
    callback = callback_;
  }
  if (callback) callback(frame);
  ++framesDelivered_;
  std::lock_guard lock(stateMutex_);
  if (!recording_) return;
  const bool reduce =
      recordingMax_ > 0 && std::max(frame.width, frame.height) > recordingMax_;
  const BgraFrame reduced =
      reduce ? downscaleFrame(frame, recordingMax_) : BgraFrame{};
  const BgraFrame& recorded = reduce ? reduced : frame;
  if (!writer_) {
    writer_ = writers_ ? writers_() : createRecordingWriter();
    // Frames kept in memory are the file's own, decoded as they are
    // written: read from either, a scan gets the same pictures.
    if (kept_ &&
        !writer_->decodeWritten([kept = kept_](const BgraFrame& written) {
          kept->add(written, written.timestamp);
        })) {
      kept_->abandon();
      kept_.reset();
    }
    std::string error;
    if (!writer_->open(recordingPath_,
                       recorded.width,
                       recorded.height,
                       nominalFps_,
                       &error)) {
      writer_.reset();
      recording_ = false;  // nothing can be recorded; waits time out
      // The scan stops with why.
      recordFailure_ = "the camera could not be recorded: " + error;
      recordFailed_ = true;
      endKeptFrames();
      return;
    }
  }
  if (!recordBaseSet_) {
    recordBase_ = sampleTime;
    recordBaseSet_ = true;
  }
  if (writer_->write(recorded, sampleTime - recordBase_))
    firstFrameRecorded_ = true;
}

void RecordingCaptureSource::deliverAccessUnit(
    std::string_view annexB,
    bool keyFrame,
    double sampleTime,
    const StreamParameters& parameters,
    const std::function<bool(BgraFrame*)>& decode) {
  FrameCallback callback;
  {
    std::lock_guard lock(stateMutex_);
    noteSample(sampleTime);
    callback = callback_;
  }
  if (callback) {
    BgraFrame frame;
    if (decode(&frame)) {
      frame.timestamp = sampleTime;
      callback(frame);
    }
  }
  ++framesDelivered_;
  std::lock_guard lock(stateMutex_);
  if (!recording_) return;
  // The stream is recorded as it came, undecoded: its frames are read from
  // the file.
  if (kept_) kept_->abandon();
  kept_.reset();
  if (!encodedWriter_) {
    // The file starts at a key frame, once the stream's parameters are
    // known; until then access units are skipped and the next one tries.
    if (!keyFrame) return;
    encodedWriter_ = createEncodedRecordingWriter();
    if (!encodedWriter_->open(recordingPath_,
                              parameters.width,
                              parameters.height,
                              parameters.sps,
                              parameters.pps,
                              nullptr)) {
      // A media back end that cannot write MP4 (Wine's): the stream goes
      // into a stream file, read back through the decoder.
      encodedWriter_ = createStreamFileWriter();
      if (!encodedWriter_->open(recordingPath_,
                                parameters.width,
                                parameters.height,
                                parameters.sps,
                                parameters.pps,
                                nullptr)) {
        encodedWriter_.reset();
        return;
      }
    }
    recordBase_ = sampleTime;
    recordBaseSet_ = true;
  }
  const auto presentation =
      static_cast<int64_t>(std::llround((sampleTime - recordBase_) * 1e6));
  // Pictures shown before the first key frame belong to the stream before
  // the recording (they may refer to it): left out.
  if (presentation < 0 && !keyFrame) return;
  std::optional<size_t> depth;
  if (keyFrame) {
    if (parameters.sps != depthSps_) {
      depthSps_ = std::string(parameters.sps);
      pxo::SpsFacts facts;
      const auto declared = pxo::readSps(depthSps_, &facts)
                                ? pxo::reorderDepthOf(facts)
                                : std::nullopt;
      declaredDepth_.reset();
      if (declared)
        declaredDepth_ =
            StreamReorder{std::min(declared->frames, 16), declared->from};
    }
    if (declaredDepth_) depth = static_cast<size_t>(declaredDepth_->frames);
  }
  timeline_.push(std::string(annexB), presentation, keyFrame, depth);
  firstFrameRecorded_ = true;
  writeReadyUnits();
}

void RecordingCaptureSource::useRecordingMedia(
    WriterFactory writers, std::unique_ptr<FrameExtractor> extractor) {
  {
    std::lock_guard lock(stateMutex_);
    writers_ = std::move(writers);
  }
  std::lock_guard lock(extractorMutex_);
  extractor_ = std::move(extractor);
}

void RecordingCaptureSource::stopRecordingAndExtraction() {
  (void)stopRecording();
  std::lock_guard lock(extractorMutex_);
  extractor_->close();
}

}  // namespace pxowin
