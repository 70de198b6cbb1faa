#include "capture/decode_timeline.h"

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace pxowin {

void DecodeTimeline::push(std::string data,
                          int64_t presentation,
                          bool keyFrame) {
  // A repeat of the last unit's time (a camera whose clock stood still)
  // goes just after it; one repeated further back goes to a free time.
  if (presentation == lastPresentation_) ++presentation;
  while (unused_.count(presentation) != 0) ++presentation;
  lastPresentation_ = presentation;
  unused_.insert(presentation);
  pending_.push_back({std::move(data), presentation, 0, keyFrame});
}

std::optional<DecodeTimeline::Unit> DecodeTimeline::next() {
  if (!failed_.empty() || pending_.empty()) return std::nullopt;
  if (!finishing_ && pending_.size() <= kReorderWindow) return std::nullopt;
  if (!depth_) {
    // The reorder depth of the first window, fixed from then on (decode
    // times must keep rising): how many places a unit is shown before its
    // place in decode order, at most.
    size_t depth = 0;
    std::vector<int64_t> sorted(unused_.begin(), unused_.end());
    for (size_t i = 0; i < pending_.size(); ++i) {
      const auto rank = static_cast<size_t>(
          std::lower_bound(
              sorted.begin(), sorted.end(), pending_[i].presentation) -
          sorted.begin());
      if (i > rank) depth = std::max(depth, i - rank);
    }
    depth_ = depth;
    // A frame: the middle step between pictures shown one after another.
    std::vector<int64_t> steps;
    for (size_t i = 1; i < sorted.size(); ++i)
      steps.push_back(sorted[i] - sorted[i - 1]);
    if (!steps.empty()) {
      const auto middle =
          steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2);
      std::nth_element(steps.begin(), middle, steps.end());
      step_ = std::max<int64_t>(*middle, 1);
    }
  }
  Unit unit = std::move(pending_.front());
  pending_.pop_front();
  ordered_.push_back(*unused_.begin());
  unused_.erase(unused_.begin());
  while (ordered_.size() > *depth_ + 1) ordered_.pop_front();
  // Unit n decodes when picture n − depth is shown; the first ones before
  // the first picture, a frame apart.
  const int64_t decode =
      given_ >= *depth_
          ? ordered_.front()
          : ordered_.front() - static_cast<int64_t>(*depth_ - given_) * step_;
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
