#include "capture/decode_timeline.h"

#include <algorithm>
#include <utility>

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
  if (!delay_) {
    // The reorder delay of the first window, fixed from then on (decode
    // times must keep rising at the same distance from what is shown).
    int64_t delay = 0;
    size_t i = 0;
    for (const int64_t sorted : unused_)
      delay = std::max(delay, sorted - pending_[i++].presentation);
    delay_ = delay;
  }
  Unit unit = std::move(pending_.front());
  pending_.pop_front();
  int64_t decode = *unused_.begin() - *delay_;
  unused_.erase(unused_.begin());
  if (decode <= lastDecode_) decode = lastDecode_ + 1;
  if (decode > unit.presentation) {
    failed_ =
        "the network camera's frames come further out of order than "
        "they did when the stream started, and cannot be recorded with "
        "the right times";
    return std::nullopt;
  }
  lastDecode_ = decode;
  unit.decode = decode;
  return unit;
}

}  // namespace pxowin
