#pragma once

#include "capture/capture_source.h"
#include "decode/decode_types.h"

#include <string>
#include <vector>

// The scan run: with a prepared session, record the camera while the LEDs
// play the plan's patterns, find the settle timing, decode every LED,
// snap them to a grid, keep the results in the session and write the model
// (and the scan data when the session has a folder for it).

namespace pxo {

struct ScanSession;

// The records of the last successful run, beside the session's results:
// for the preview picture, the rig's scorer and the benchmarks.
struct ScanRunRecord {
  std::vector<DecodedLed> decoded;         // ascending id
  std::vector<pxowin::CaptureMark> marks;  // the pattern marks
  double settleOffset = 0;        // after each mark, where frames were read
  double calibrationSeconds = 0;  // the run's start to the patterns' start
  double recordingSeconds = 0;    // from the run's start to the recording's end
  double processingSeconds = 0;   // the rest of the run
  // Said when fewer than half the LEDs were seen ("Only 40 of 100 LEDs
  // were seen; …"); empty otherwise.
  std::string warning;
  // Whether the frames were read while the patterns played (from the
  // frames the camera kept in memory), and the most those held at once.
  bool readWhileRecording = false;
  size_t keptFrameBytes = 0;
  // LEDs left to estimation because others overlapped them.
  int32_t overlapping = 0;
};

inline constexpr char kNoLedsDecoded[] =
    "no LEDs found \xE2\x80\x94 check that the prop is in view and lit, "
    "the camera is in focus, and the brightness is high enough";

inline constexpr char kScanStopped[] = "the scan was stopped";

// Runs one scan. `modelFilePath` gets the written model's path, and is
// cleared on failure with `error` (optional) saying why: "not prepared",
// kScanStopped when the session's stopRequested was set meanwhile,
// "scan lost pattern marks (camera underran)", the decode tail's messages
// (scan_decode.h), kNoLedsDecoded when no LED was seen (no model is
// written, the session's results stay), or the camera's and the model
// writer's own. A scan that saw fewer than half its LEDs succeeds with a
// warning in its progress and in `lastRun.warning`. Runs on one
// worker thread; nothing else may use the session meanwhile.
void runScan(ScanSession& session,
             std::string* modelFilePath,
             const std::string& modelName,
             std::string* error);

}  // namespace pxo
