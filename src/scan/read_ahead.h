#pragma once

#include "capture/recorded_frames.h"
#include "scan/scan_decode.h"
#include "scan/scan_plan.h"
#include "scan/settle_timing.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

// The scan's frames read while its patterns play. On a thread of its own,
// from the frames the camera keeps in memory as it records them, the settle
// timing is measured as soon as the floods and the probes after them were
// recorded, and then each pattern's frame is read as soon as the frame
// shown at its mark + the settle offset came; the frames behind it are let
// go. When the last pattern has been recorded, only the decode is left.
//
//   auto kept = camera.keepFramesOfNextRecording(1024, kReadAheadBytes);
//   PatternReadAhead ahead(kept, plan, frameCount);
//   ... record the patterns ...
//   if (!ahead.take(&settle, &frames)) ... read them from the file ...
//
// Threads: construct and take on the scan's thread; the reading runs on
// the read-ahead's own.

namespace pxo {

// What the frames kept for a scan may hold at once: at 1024 × 576 about 80
// frames, 2.7 s of a 30 fps camera (the settle timing holds 1.7 s of them
// until the third flood's probes came; after it, a frame or two).
inline constexpr size_t kReadAheadBytes = size_t{192} << 20;

class PatternReadAhead {
 public:
  PatternReadAhead(std::shared_ptr<pxowin::RecordedFrames> frames,
                   const ScanPlan* plan,
                   int32_t patterns);
  // Ends the recording's waits and the thread.
  ~PatternReadAhead();
  PatternReadAhead(const PatternReadAhead&) = delete;
  PatternReadAhead& operator=(const PatternReadAhead&) = delete;

  // After the recording stopped: waits for the thread; true with the
  // settle measurement and every pattern's frame when they could all be
  // read from memory (false when a mark never came or a frame was let go
  // before it was read: then the file is read as before).
  [[nodiscard]] bool take(SettleMeasurement* settle, PatternFrames* frames);
  // The most pixel bytes the kept frames held at once.
  size_t peakBytes() const;

 private:
  void run();

  std::shared_ptr<pxowin::RecordedFrames> frames_;
  const ScanPlan* plan_;
  const int32_t patterns_;
  SettleMeasurement settle_;
  PatternFrames read_;
  bool complete_ = false;
  std::thread thread_;
};

}  // namespace pxo
