#include "capture/recorded_frames.h"

#include <algorithm>

namespace pxowin {

RecordedFrames::RecordedFrames(int32_t maxDimension,
                               size_t maxBytes,
                               double frameDuration)
    : maxDimension_(std::max(maxDimension, 1)),
      maxBytes_(maxBytes),
      frameDuration_(frameDuration > 0 ? frameDuration : 1.0 / 30) {}

void RecordedFrames::dropFront() {
  bytes_ -= frames_.front().frame.pixels.size();
  droppedUntil_ = frames_.front().time;
  frames_.pop_front();
}

void RecordedFrames::add(const BgraFrame& frame, double time) {
  const bool reduce = std::max(frame.width, frame.height) > maxDimension_;
  Kept kept{time, reduce ? downscaleFrame(frame, maxDimension_) : frame};
  kept.frame.timestamp = time;
  std::lock_guard lock(mutex_);
  if (finished_) return;
  bytes_ += kept.frame.pixels.size();
  frames_.push_back(std::move(kept));
  while (bytes_ > maxBytes_ && frames_.size() > 1) dropFront();
  peakBytes_ = std::max(peakBytes_, bytes_);
  changed_.notify_all();
}

void RecordedFrames::addMark(double time) {
  std::lock_guard lock(mutex_);
  if (finished_) return;
  marks_.push_back(time);
  changed_.notify_all();
}

void RecordedFrames::finish() {
  std::lock_guard lock(mutex_);
  finished_ = true;
  changed_.notify_all();
}

void RecordedFrames::abandon() {
  std::lock_guard lock(mutex_);
  finished_ = true;
  lost_ = true;
  bytes_ = 0;
  frames_.clear();
  changed_.notify_all();
}

bool RecordedFrames::frameAt(double time,
                             int32_t maxDimension,
                             BgraFrame* out,
                             std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  auto reached = [&] {
    return finished_ ||
           (!frames_.empty() && frames_.back().time + frameDuration_ >= time);
  };
  if (!changed_.wait_until(lock, deadline, reached) || lost_) return false;
  // The answer may be a frame no longer held: then it cannot be given.
  if (droppedUntil_ && *droppedUntil_ + frameDuration_ >= time) {
    lost_ = true;
    return false;
  }
  auto it = std::find_if(frames_.begin(), frames_.end(), [&](const Kept& k) {
    return k.time + frameDuration_ >= time;
  });
  if (it == frames_.end()) return false;
  *out = std::max(it->frame.width, it->frame.height) > maxDimension
             ? downscaleFrame(it->frame, maxDimension)
             : it->frame;
  out->timestamp = it->time;
  return true;
}

std::optional<double> RecordedFrames::waitForMark(
    size_t index, std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_until(
          lock, deadline, [&] { return finished_ || marks_.size() > index; }) ||
      marks_.size() <= index)
    return std::nullopt;
  return marks_[index];
}

std::vector<double> RecordedFrames::marks() const {
  std::lock_guard lock(mutex_);
  return marks_;
}

void RecordedFrames::release(double time) {
  std::lock_guard lock(mutex_);
  while (!frames_.empty() && frames_.front().time + frameDuration_ < time)
    dropFront();
}

bool RecordedFrames::lost() const {
  std::lock_guard lock(mutex_);
  return lost_;
}

size_t RecordedFrames::peakBytes() const {
  std::lock_guard lock(mutex_);
  return peakBytes_;
}

}  // namespace pxowin
