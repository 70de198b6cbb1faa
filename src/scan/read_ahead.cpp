#include "scan/read_ahead.h"

#include <algorithm>
#include <utility>

namespace pxo {

namespace {

// The settle timing's gap between patterns is the median of the gaps up to
// this many patterns after the last flood.
constexpr int32_t kPatternsForTheGap = 4;
// The least settle offset: pattern 0 is never read earlier after its mark.
constexpr double kLeastOffset = 0.12;

}  // namespace

PatternReadAhead::PatternReadAhead(
    std::shared_ptr<pxowin::RecordedFrames> frames,
    const ScanPlan* plan,
    int32_t patterns)
    : frames_(std::move(frames)), plan_(plan), patterns_(patterns) {
  if (frames_ && plan_ && patterns_ > 0)
    thread_ = std::thread([this] { run(); });
}

PatternReadAhead::~PatternReadAhead() {
  if (frames_) frames_->finish();
  if (thread_.joinable()) thread_.join();
}

bool PatternReadAhead::take(SettleMeasurement* settle, PatternFrames* frames) {
  if (thread_.joinable()) thread_.join();
  if (!complete_ || frames_->lost()) return false;
  *settle = std::move(settle_);
  *frames = std::move(read_);
  return true;
}

size_t PatternReadAhead::peakBytes() const {
  return frames_ ? frames_->peakBytes() : 0;
}

void PatternReadAhead::run() {
  pxowin::RecordedFrames& kept = *frames_;
  const FrameReader read =
      [&kept](double time, int32_t maxDimension, pxowin::BgraFrame* frame) {
        return kept.frameAt(time, maxDimension, frame);
      };
  const int32_t lastFlood = floodFrameIndex(plan_, 2);
  const int32_t firstFlood = floodFrameIndex(plan_, 0);
  if (firstFlood < 0 || lastFlood < firstFlood || lastFlood >= patterns_)
    return;
  const auto enough = static_cast<size_t>(
      std::min(lastFlood + kPatternsForTheGap, patterns_ - 1));
  if (!kept.waitForMark(enough)) return;
  const std::vector<double> marks = kept.marks();
  // Nothing before the first flood's mark or the baseline's least offset
  // is read.
  kept.release(std::min(marks[static_cast<size_t>(firstFlood)],
                        marks[0] + kLeastOffset));

  settle_ = measureSettleTiming(read, plan_, marks, [](const std::string&) {});
  read_.offset = settle_.offset;
  read_.frameInterval = frameIntervalAtFloods(read, plan_, marks);

  const auto count = static_cast<size_t>(patterns_);
  read_.frames.assign(count, FramePlanes{});
  read_.reads.assign(count, PatternRead{});
  for (size_t k = 0; k < count; ++k) {
    const std::optional<double> mark = kept.waitForMark(k);
    if (!mark) return;
    const double wanted = *mark + read_.offset;
    readPatternFrame(read, wanted, &read_.frames[k], &read_.reads[k]);
    // Later patterns are read later: the frames before this one are done.
    kept.release(wanted);
  }
  complete_ = true;
}

}  // namespace pxo
