#include "capture/decode_timeline.h"

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace pxowin {

void DecodeTimeline::push(std::string data,
                          int64_t presentation,
                          bool keyFrame,
                          std::optional<size_t> reorderDepth) {
  // A repeat of the last unit's time (a camera whose clock stood still)
  // goes just after it; one repeated further back goes to a free time.
  if (presentation == lastPresentation_) ++presentation;
  while (unused_.count(presentation) != 0) ++presentation;
  lastPresentation_ = presentation;
  unused_.insert(presentation);
  std::optional<size_t> newDepth;
  if (keyFrame && reorderDepth)
    newDepth = std::min(*reorderDepth, kReorderWindow);
  pending_.push_back({std::move(data), presentation, 0, keyFrame, newDepth});
}

size_t DecodeTimeline::measureDepth() const {
  // How many places a unit is shown before its place in decode order, at
  // most.
  size_t depth = 0;
  std::vector<int64_t> sorted(unused_.begin(), unused_.end());
  for (size_t i = 0; i < pending_.size(); ++i) {
    const auto rank = static_cast<size_t>(
        std::lower_bound(
            sorted.begin(), sorted.end(), pending_[i].presentation) -
        sorted.begin());
    if (i > rank) depth = std::max(depth, i - rank);
  }
  return depth;
}

void DecodeTimeline::measureStep() {
  std::vector<int64_t> steps;
  for (auto at = unused_.begin(); std::next(at) != unused_.end(); ++at)
    steps.push_back(*std::next(at) - *at);
  if (steps.empty()) return;
  const auto middle =
      steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2);
  std::nth_element(steps.begin(), middle, steps.end());
  step_ = std::max<int64_t>(*middle, 1);
}

std::optional<DecodeTimeline::Unit> DecodeTimeline::next() {
  if (!failed_.empty() || pending_.empty()) return std::nullopt;
  if (!finishing_ && pending_.size() <= kReorderWindow) return std::nullopt;
  if (given_ == 0) {
    measureStep();
    // A depth the stream declares holds from the first unit; otherwise the
    // first window's, fixed from then on (decode times must keep rising).
    if (!pending_.front().newDepth) {
      depth_ = measureDepth();
      measured_ = true;
    }
  }
  Unit unit = std::move(pending_.front());
  pending_.pop_front();
  if (unit.newDepth) {
    depth_ = unit.newDepth;
    measured_ = false;
  }
  const size_t depth = *depth_;
  ordered_.push_back(*unused_.begin());
  unused_.erase(unused_.begin());
  while (ordered_.size() > kReorderWindow + 1) ordered_.pop_front();
  // Unit n decodes when picture n − depth is shown; the first ones before
  // the first picture, a frame apart.
  int64_t decode =
      given_ >= depth
          ? ordered_[ordered_.size() - 1 - depth]
          : ordered_.front() - static_cast<int64_t>(depth - given_) * step_;
  // A deeper depth from a key frame on: those times lie behind the ones
  // already given until the stream has run that far.
  if (unit.newDepth && lastDecode_ != INT64_MIN) catchUp_ = true;
  if (catchUp_) {
    if (decode > lastDecode_)
      catchUp_ = false;
    else
      decode = lastDecode_ + 1;
  }
  if (decode <= lastDecode_ || decode > unit.presentation) {
    failed_ =
        "the network camera's frames come further out of order than "
        "they did when the stream started, and cannot be recorded with "
        "the right times";
    return std::nullopt;
  }
  ++given_;
  lastDecode_ = decode;
  unit.decode = decode;
  return unit;
}

}  // namespace pxowin
