#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <string_view>

// Decode times for a compressed stream that arrives in decode order but
// carries only presentation times, as RTP does. With B-frames the
// presentation times of successive access units go back and forth; a file
// needs a decode time for each unit that rises, and that is never later
// than the unit's presentation time.
//
// The decode times are the presentation times in rising order, moved back
// by the stream's reorder depth in units: the most places any unit is shown
// before its place in decode order (two for the usual B-frame pyramid).
// The stream says how deep it reorders (its SPS, given with each key frame
// that carries one); a stream that does not is measured over its first
// window. Counted in units, not time, so that frames that came late or were
// lost on the camera's side do not matter. The first units decode before
// the first picture is shown, a frame apart; where a key frame brings a
// deeper depth, the units that follow decode a microsecond apart until the
// new depth's times have caught up. A unit is given its time once
// kReorderWindow later units have arrived, or at finish(). Without
// B-frames decode time equals presentation time.
//
// Times are in microseconds. One thread.

namespace pxowin {

class DecodeTimeline {
 public:
  // The deepest reordering H.264 allows (16 pictures in the buffer).
  static constexpr size_t kReorderWindow = 16;

  struct Unit {
    std::string data;
    int64_t presentation = 0;
    int64_t decode = 0;
    bool keyFrame = false;
    std::optional<size_t> newDepth;  // declared by this key frame
  };

  // One access unit in decode order. A presentation time already taken is
  // moved a microsecond on, so that every unit is shown at a time of its
  // own. A key frame may bring the reorder depth its stream declares
  // (capped at kReorderWindow); it holds from that unit on.
  void push(std::string data,
            int64_t presentation,
            bool keyFrame,
            std::optional<size_t> reorderDepth = std::nullopt);
  // Every unit still held becomes ready: the stream has ended.
  void finish() { finishing_ = true; }
  // The next unit in decode order, once its decode time is known. Nothing
  // when none is ready, or when the stream cannot be written (see failed).
  std::optional<Unit> next();
  // Why the stream cannot be recorded: its units came further out of order
  // than the first window showed. Empty while it can.
  const std::string& failed() const { return failed_; }

  // Units held back.
  size_t pending() const { return pending_.size(); }
  // The reorder depth in use, once the first unit was given out, and
  // whether it was measured (the stream declared none).
  std::optional<size_t> depth() const { return depth_; }
  bool depthMeasured() const { return measured_; }

 private:
  std::deque<Unit> pending_;
  std::multiset<int64_t> unused_;  // presentation times not yet in order
  // The presentation times in rising order, as far as they are known, the
  // last kReorderWindow + 1 of them.
  std::deque<int64_t> ordered_;
  std::optional<size_t> depth_;
  bool measured_ = false;
  // The reorder depth of the first window, measured.
  size_t measureDepth() const;
  // The middle step between pictures shown one after another.
  void measureStep();
  int64_t step_ = 33333;  // a frame, for the units decoded before the first
  size_t given_ = 0;      // units given out
  int64_t lastDecode_ = INT64_MIN;
  int64_t lastPresentation_ = INT64_MIN;
  bool finishing_ = false;
  bool catchUp_ = false;  // decode times held a microsecond apart
  std::string failed_;
};

}  // namespace pxowin
