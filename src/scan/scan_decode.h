#pragma once

#include "capture/capture_source.h"
#include "decode/decode_types.h"
#include "decode/grid_snap.h"
#include "scan/calibration.h"
#include "scan/scan_plan.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The scan's decode tail, shared by the live scan and the offline decode of
// a saved scan-data folder: one frame per mark read from the recording at
// the settle offset, the decoder's options from the plan (thresholds raised
// by the measured camera noise), the LED decode and the grid snap.
//
//   ScanDecodeInput input{plan, markTimes, settle.offset, ledCount, noise};
//   ScanDecodeResult result;
//   if (!decodeScan(cameraFrames(camera), input, report, &result, &error))
//     ...
//
// Threads: any one thread; the decoder starts and joins its own.

namespace pxo {

// Passes of every scan plan the product builds.
inline constexpr int32_t kScanPasses = 2;
// Scan frames are read with their longer side at most this.
inline constexpr int32_t kScanFrameMaxDimension = 1024;

// Reads the recording's frame shown at `time`, its longer side scaled to at
// most `maxDimension`; false when there is none.
using FrameReader = std::function<bool(
    double time, int32_t maxDimension, pxowin::BgraFrame* frame)>;

// Frames from a stopped camera's last recording.
FrameReader cameraFrames(pxowin::ICaptureSource& camera);
// Frames from a recording file, through a decoder of the reader's own (a
// copy of the reader shares it: one thread at a time); empty when the file
// cannot be opened.
FrameReader recordingFrames(const std::filesystem::path& path,
                            std::string* error = nullptr);

// One scanned port among the scan's LEDs: its LEDs are IDs first + 1 ...
// first + count, sent in the colour order the controller has for it.
struct ScanPortRange {
  int32_t portNumber = 0;
  int32_t first = 0;
  int32_t count = 0;
  std::string colorOrder = "RGB";
};

// How one pattern's frame was read: whether it was, the recording time of
// the frame read and its size.
struct PatternRead {
  bool ok = false;
  double time = 0;
  int32_t width = 0;
  int32_t height = 0;
};

// The pattern frames read ahead of decodeScan, while the patterns were
// recorded: one per mark, read at mark + `offset` at the decode size, and
// the camera's frame interval while the floods played (see
// frameIntervalAtFloods).
struct PatternFrames {
  double offset = 0;
  double frameInterval = 0;
  std::vector<FramePlanes> frames;
  std::vector<PatternRead> reads;
};

// Reads the frame shown at `wanted` at the decode size into `planes`, and
// how it went into `info`.
void readPatternFrame(const FrameReader& read,
                      double wanted,
                      FramePlanes* planes,
                      PatternRead* info);

// The camera's time between frames while the floods played, as the
// recording holds them: the median step between the distinct frames read
// every 1/60 s from the first flood's mark to a gap after the last one's.
// 0 when fewer than three frames were read there. `markTimes` must reach
// the last flood.
double frameIntervalAtFloods(const FrameReader& read,
                             const ScanPlan* plan,
                             std::span<const double> markTimes);

struct ScanDecodeInput {
  const ScanPlan* plan = nullptr;
  std::span<const double> markTimes;  // one per pattern frame
  double settleOffset = 0;            // frames are read this long after
  int32_t ledCount = 0;
  const CameraNoise* noise = nullptr;  // null: not measured
  // Per scan LED, its model node (0: a null pixel, dropped); empty: the
  // scan's IDs are the nodes.
  std::span<const int32_t> nodeOfLed;
  // The scanned ports; a port most of whose LEDs were not read in the
  // scan's colour order is read again in each other order (a strip wired
  // otherwise than its controller says). Empty: one colour order for all.
  std::span<const ScanPortRange> ports;
  // Optional: a second reader of the same recording, with a decoder of its
  // own, that reads the later half of the frames meanwhile.
  FrameReader secondReader;
  // Optional: the frames already read at `settleOffset` (their frames are
  // moved out); `read` is then used only to read at other offsets.
  PatternFrames* framesReadAhead = nullptr;
};

struct ScanDecodeResult {
  // Decoded and estimated, by model node (ascending id).
  std::vector<DecodedLed> leds;
  ModelGridPtr grid;
  DecodeStats stats;
  int32_t width = 0;  // the decode frame's size
  int32_t height = 0;
  int32_t ledCount = 0;  // the model's nodes
  // "Port 3: LEDs answer as GRB, the controller says RGB", one per port
  // read in an order of its own.
  std::vector<std::string> notices;
  // Per LED (by node): the colour order its port answered in, when that
  // was not the controller's; empty otherwise.
  std::vector<std::pair<int32_t, std::string>> ledOrders;

  int32_t observedCount() const;
};

inline constexpr char kScanTimingFailed[] =
    "the LEDs did not show their patterns when the camera recorded them "
    "\xE2\x80\x94 the scan's timing could not be measured; check that the "
    "camera sees the prop and that nothing else drives the LEDs";

inline constexpr char kCameraDroppedFrames[] =
    "the camera dropped frames while recording, so some patterns were never "
    "seen \xE2\x80\x94 close other programs that keep the computer busy, or "
    "lower the camera's resolution, and scan again";

// How a scan whose camera sent too few frames to tell the patterns apart
// fails: "the camera delivered only N frames a second while the patterns
// played, …".
inline constexpr char kCameraTooSlow[] = "the camera delivered only";
[[nodiscard]] std::string cameraTooSlowMessage(double framesPerSecond);

// "3 LEDs sat too close to others in the picture to tell apart and were
// estimated — …":
// what a scan says when the decoder left overlapping LEDs to estimation.
std::string overlappingLedsNotice(int32_t count);

inline constexpr char kIdsDoNotHoldTogether[] =
    "the LEDs' IDs do not hold together: LEDs next to each other on the "
    "string were found far apart, so the IDs read cannot be trusted "
    "\xE2\x80\x94 check that nothing else drives the LEDs and that the "
    "camera holds still, and scan again";

// Whether LEDs next to each other in ID order were found near each other:
// false when, over eight or more observed neighbouring pairs, the median
// distance is over a fifth of the observed LEDs' extent (IDs read from the
// wrong frames, or guessed).
[[nodiscard]] bool idsHoldTogether(std::span<const DecodedLed> decoded);

// Whether the frames show what the decoded LEDs' codes say: each of the
// three flood frames lights every LED (in whatever colour its strip makes
// of the flood). When most LEDs stay dark in a flood, the frames were read
// at the wrong moments (a timing that could not be measured) and every ID
// read from them is suspect. Re-read LEDs (no signal) are not counted;
// with fewer than four read, every one must light all three floods.
[[nodiscard]] bool floodsAgree(std::span<const FramePlanes> frames,
                               const DecodeOptions& options,
                               std::span<const DecodedLed> decoded);

// The colour order a strip answers in, named as the controller names its
// own: `sent` is the controller's order, `permutation` a kColourOrders index
// (sent colour l shows in camera channel kColourOrders[permutation][l]).
std::string answeredColourOrder(const std::string& sent, int32_t permutation);

// Raises each colour's peak threshold to at least min(ceil(4 × noise), 200).
void raiseThresholdsForNoise(const CameraNoise& noise, DecodeOptions* options);

// The sensor's σ estimated from a measured noise figure (CameraNoise's
// 95th percentile of per-pixel ranges).
double noiseSigma(double noise);

// Extracts, decodes, maps scan LEDs to nodes and snaps. Progress: "Extracting
// scan frames… i/n", "Decoding pixel positions…", "Building model…". Messages:
// "could not extract any scan frames", "decode failed (no baseline/flood)" (or
// the options' own message), kScanTimingFailed when the frames contradict
// the codes read from them, "grid snap failed". A pattern whose frame the
// camera dropped (the frame read was recorded over 40 % of a pattern's
// time after the moment wanted) is left out of the decode with "The camera
// dropped frames: N of M patterns were not seen; …"; kCameraDroppedFrames
// when the baseline or a flood is among them or over a fifth of all.
[[nodiscard]] bool decodeScan(
    const FrameReader& frames,
    const ScanDecodeInput& input,
    const std::function<void(const std::string&)>& report,
    ScanDecodeResult* result,
    std::string* error);

// Decodes a saved scan-data folder again: its recording, timeline and
// metadata (output/scan_data.h reads them), with the plan, settle offset
// and noise the live scan used. Also the reader's messages and "the
// timeline has N patterns, the plan M".
[[nodiscard]] bool decodeScanDataFolder(
    const std::filesystem::path& folder,
    const std::function<void(const std::string&)>& report,
    ScanDecodeResult* result,
    std::string* error);

}  // namespace pxo
