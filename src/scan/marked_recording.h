#pragma once

#include "capture/capture_source.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

// Recording the camera while the LEDs show a sequence of frames, each
// marked in the recording as it is sent: what the scan's pattern recording
// and the brightness calibration have in common. All later timing is
// relative to the marks, so no clock is shared between the LEDs and the
// camera.

namespace pxo {

struct ScanSession;

// One frame of the sequence: the channel bytes, the mark's label, how long
// the frame stays before the next one, and a progress message reported
// just before it is shown (none when empty).
struct MarkedStep {
  std::vector<uint8_t> channels;
  std::string label;
  int32_t dwellMs = 0;
  std::string progress;
};

// What happens after the last step, before the recording stops.
struct RecordingTail {
  int32_t dwellMs = 0;
  // Sends one all-dark frame directly (the keep-alive sender goes on
  // repeating the last step).
  bool blackout = false;
  // Asked every 10 ms during the dwell: true ends it early.
  std::function<bool()> endsEarly;
};

// Starts recording `path`, waits up to 5 s for its first frame, then for
// each step makes it the pattern player's current frame, sends it once,
// marks it and sleeps its dwell; then the tail, stopRecording and
// takeMarks. False when the recording cannot start (the camera's message
// stands), when the session's stopRequested ended it early (kScanStopped;
// the LEDs are left dark) or when the camera failed (its failure(); the
// recording ends at the step it was seen). Runs on the caller's (worker)
// thread.
[[nodiscard]] bool recordMarkedSteps(ScanSession& session,
                                     const std::filesystem::path& path,
                                     std::span<const MarkedStep> steps,
                                     const RecordingTail& tail,
                                     std::vector<pxowin::CaptureMark>* marks,
                                     std::string* error);

}  // namespace pxo
