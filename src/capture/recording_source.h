#pragma once

#include "capture/capture_source.h"
#include "capture/decode_timeline.h"
#include "capture/media.h"
#include "capture/recorded_frames.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

// The recording half every capture source shares: frames from the capture
// thread go to the callback and, while recording, into the H.264 writer
// with their own sample times; marks carry the recording time of the newest
// frame; frames are read back from the finished file.
//
// A source derives from it, runs its own capture thread and hands each
// frame to deliverFrame(). A mark added while a recording that has had
// frames gets none for over two seconds is dropped: its time would only repeat
// the last frame's, and the scan run reads the missing marks as a camera
// that underran. Threads: deliverFrame on the capture thread;
// everything else on the caller's thread. The state mutex guards the
// callback, the times, the marks and the writer (so stopRecording never
// finalises the file under a frame being written).

namespace pxowin {

class RecordingCaptureSource : public ICaptureSource {
 public:
  RecordingCaptureSource();
  ~RecordingCaptureSource() override;

  void setFrameCallback(FrameCallback callback) override;
  void reduceNextRecording(int32_t maxDimension) override;
  std::shared_ptr<RecordedFrames> keepFramesOfNextRecording(
      int32_t maxDimension, size_t maxBytes) override;
  bool startRecording(const std::filesystem::path& path,
                      std::string* error) override;
  std::optional<std::filesystem::path> stopRecording() override;
  bool waitForRecordedFrame(double timeoutSeconds) override;
  bool waitForFrame(double timeoutSeconds) override;
  void addMark(const std::string& label) override;
  std::vector<CaptureMark> takeMarks() override;
  bool extractFrame(double time,
                    int32_t maxDimension,
                    BgraFrame& out,
                    std::string* error) override;
  // The source's own time of the last recording's first frame (recording
  // time 0); 0 before one was recorded.
  double recordingBase();
  // Why the stream cannot be recorded; empty while it can.
  std::string failure() override;
  std::optional<StreamReorder> streamReorder() override;

 protected:
  // From the capture thread: one frame taken at `sampleTime` seconds on the
  // source's own clock.
  void deliverFrame(const BgraFrame& frame, double sampleTime);
  // From the capture thread of a source that receives H.264 (a network
  // camera): one access unit in decode order, shown at `sampleTime`
  // seconds. `decode` is called only while a callback is installed and
  // gives the live frame. A recording is the stream itself (no
  // re-encoding), from its first key frame on, each unit with its decode
  // and presentation times (B-frames come out of order); `parameters`
  // describes the stream for the file.
  struct StreamParameters {
    std::string_view sps;
    std::string_view pps;
    int32_t width = 0;
    int32_t height = 0;
  };
  void deliverAccessUnit(std::string_view annexB,
                         bool keyFrame,
                         double sampleTime,
                         const StreamParameters& parameters,
                         const std::function<bool(BgraFrame*)>& decode);
  // The frame rate the source negotiated (for the file's nominal rate).
  void setNominalFrameRate(double fps) { nominalFps_ = fps; }
  // To be called by stop(): ends any recording and closes the reader.
  void stopRecordingAndExtraction();
  // A source that records with its own writer and reads back with its own
  // reader instead of the platform's (the virtual rig where the platform
  // cannot record). Before start().
  using WriterFactory = std::function<std::unique_ptr<RecordingWriter>()>;
  void useRecordingMedia(WriterFactory writers,
                         std::unique_ptr<FrameExtractor> extractor);

 private:
  std::mutex stateMutex_;
  FrameCallback callback_;
  // Called with stateMutex_ held: a new sample time and its arrival.
  void noteSample(double sampleTime);
  // Called with stateMutex_ held: writes the units whose decode times are
  // known.
  void writeReadyUnits();
  DecodeTimeline timeline_;  // under stateMutex_
  // The reorder depth the stream's SPS declares, read again only when the
  // SPS changes (under stateMutex_).
  std::string depthSps_;
  std::optional<StreamReorder> declaredDepth_;
  std::optional<StreamReorder> recordedDepth_;  // of the last recording
  std::string recordFailure_;                   // under stateMutex_
  std::atomic<bool> recordFailed_{false};       // recordFailure_ is not empty
  std::unique_ptr<RecordingWriter> writer_;
  WriterFactory writers_;  // null: the platform's
  std::unique_ptr<EncodedRecordingWriter> encodedWriter_;
  std::filesystem::path recordingPath_;
  int32_t nextRecordingMax_ = 0;  // under stateMutex_
  int32_t recordingMax_ = 0;      // under stateMutex_
  // The recording's frames kept in memory, and those asked for the next
  // one (under stateMutex_).
  std::shared_ptr<RecordedFrames> kept_;
  std::shared_ptr<RecordedFrames> nextKept_;
  // Called with stateMutex_ held: the kept frames' reader is told the
  // recording ended.
  void endKeptFrames();
  std::atomic<bool> recording_{false};
  std::atomic<bool> firstFrameRecorded_{false};
  std::atomic<uint64_t> framesDelivered_{0};
  std::chrono::steady_clock::time_point latestArrival_{};
  // Seconds on the steady clock since construction.
  double steadySeconds(std::chrono::steady_clock::time_point t) const;
  const std::chrono::steady_clock::time_point epoch_ =
      std::chrono::steady_clock::now();
  // (arrival, arrival − sample time) of recent frames, rising in both, so
  // the front holds the least delay of the window.
  std::deque<std::pair<double, double>> delays_;
  double recordBase_ = 0;
  bool recordBaseSet_ = false;
  std::vector<CaptureMark> marks_;
  double nominalFps_ = 30;
  std::mutex extractorMutex_;
  std::unique_ptr<FrameExtractor> extractor_;
};

}  // namespace pxowin
