#pragma once

#include "capture/capture_source.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

// The frames of a recording kept in memory as they are recorded, with the
// recording's marks, so that a scan can read them while the recording goes
// on instead of from the finished file afterwards. A read answers as the
// file's reader does (the first frame whose time + frame duration reaches
// the time asked for) and waits until the frames have come that far.
//
// Memory is bounded: frames are kept reduced to the decode size, the reader
// releases the ones it will not ask for again, and past `maxBytes` the
// oldest go anyway; a read that needed one of those fails and `lost()`
// says so (the scan then reads the file as before).
//
//   auto kept = camera.keepFramesOfNextRecording(1024, 192 << 20);
//   // on a thread of its own, while the recording runs:
//   if (auto mark = kept->waitForMark(3)) kept->frameAt(*mark + 0.3, ...);
//
// Threads: add, addMark and finish from the recording side; the reads from
// any one other thread.

namespace pxowin {

class RecordedFrames {
 public:
  RecordedFrames(int32_t maxDimension, size_t maxBytes, double frameDuration);

  // The recording side. `time` is the frame's recording time (the one its
  // writer was given); frames come in rising time.
  void add(const BgraFrame& frame, double time);
  void addMark(double time);
  // The recording ended (or will not be kept): every wait returns.
  void finish();
  // The source cannot keep this recording's frames: every read fails.
  void abandon();

  // The frame shown at `time`, reduced further when its longer side exceeds
  // `maxDimension` (1 or more); waits for it until the recording ended.
  // False when no frame reaches `time`, when the frame was not kept, or
  // after `deadline`.
  [[nodiscard]] bool frameAt(double time,
                             int32_t maxDimension,
                             BgraFrame* out,
                             std::chrono::steady_clock::time_point deadline =
                                 std::chrono::steady_clock::time_point::max());
  // The recording time of mark `index` (0 the first), once it was added;
  // nullopt when the recording ended (or the deadline passed) before it.
  std::optional<double> waitForMark(
      size_t index,
      std::chrono::steady_clock::time_point deadline =
          std::chrono::steady_clock::time_point::max());
  // The marks added so far.
  std::vector<double> marks() const;
  // Drops the frames shown entirely before `time`: reads ask for no time
  // before it any more.
  void release(double time);

  // A read needed a frame that was no longer held (over the memory bound),
  // or the source abandoned the recording.
  bool lost() const;
  // The most pixel bytes held at once.
  size_t peakBytes() const;
  double frameDuration() const { return frameDuration_; }

 private:
  struct Kept {
    double time;
    BgraFrame frame;
  };
  void dropFront();  // with mutex_ held

  const int32_t maxDimension_;
  const size_t maxBytes_;
  const double frameDuration_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Kept> frames_;
  std::vector<double> marks_;
  size_t bytes_ = 0;
  size_t peakBytes_ = 0;
  // Frames up to this time were dropped (released or over the bound).
  std::optional<double> droppedUntil_;
  bool lost_ = false;
  bool finished_ = false;
};

}  // namespace pxowin
