#pragma once

#include "decode/decode_types.h"
#include "recon3d/scan_view.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

// The raw material of a scan kept for later analysis: a folder per scan
// under "<save folder>/GlowtraceDebug/scan_YYYY-MM-DD_HHMMSS" holding the
// recording, "timeline.json" and "metadata.json".

namespace pxo {

inline constexpr char kScanDataRoot[] = "GlowtraceDebug";
inline constexpr char kTimelineFile[] = "timeline.json";
inline constexpr char kMetadataFile[] = "metadata.json";

// How the LEDs and camera settle after a new pattern, as the scan run
// measured it.
struct CalibrationRecord {
  std::optional<std::string> status;
  double effectiveOffsetSec = 0;
  double medianGapSec = 0;
  double medianSettleSec = 0;
  bool usedMidDwellFallback = false;
  bool usedArrivalRescue = false;
  bool usedStaticFallback = false;
  std::vector<double> probeOffsetsSec;
  struct Flood {
    std::string label;
    int32_t arrivalProbeIdx = 0;
    int32_t plateauProbeIdx = 0;
  };
  std::vector<Flood> floods;
  std::vector<double> probeMeans;  // flood-major
};

// A decoded LED as the scan data keeps it.
struct ExportedLed {
  DecodedLed led;
  std::optional<std::string> colorOrder;
};

struct ScanExportRecord {
  int32_t schemaVersion = 2;
  std::string patternProtocol;
  std::string outputMode = "2d";
  std::string scanId;
  int32_t viewId = 0;
  std::string wallTime;
  std::optional<std::string> videoFile;
  int32_t frameCount = 0;
  bool scanMov = true;
  bool intrinsics = false;
  bool arkitPoses = false;
  bool lidarDepth = false;
  int32_t imageWidth = 0;
  int32_t imageHeight = 0;
  int32_t totalLEDs = 0;
  int32_t decodedValid = 0;
  std::vector<int32_t> missingIDs;
  std::optional<double> spacingEstimate;
  int32_t signalPeakCount = 0;
  std::vector<int32_t> signalHistogram;
  std::vector<std::pair<int32_t, int32_t>> frameTranslations;
  std::vector<std::pair<int32_t, int32_t>> rawFrameDeltas;
  std::vector<int32_t> outlierFrames;
  double elapsedSeconds = 0;
  std::vector<ExportedLed> decodedLEDs;
  std::optional<CalibrationRecord> calibration;
  std::string cameraName;
  // A network camera's stream with B-frames: how many pictures it showed
  // ahead of their decode order at most, and what said so ("sps", "level",
  // "stream"); "camera" {"reorderDepth", "reorderDepthFrom"}.
  std::optional<int32_t> reorderDepth;
  std::string reorderDepthFrom;
  // The dark picture's noise (red, green, blue) the decoder's thresholds
  // were raised by; absent when the brightness calibration measured none.
  std::optional<std::array<double, 3>> cameraNoise;
  // The level the coded patterns were sent at, and the camera's exposure
  // time (seconds) when it could be read: "brightness" {"level",
  // "exposureSeconds"}; absent when not calibrated.
  std::optional<int32_t> brightnessLevel;
  std::optional<double> exposureSeconds;
  // Scan IDs that were null pixels inside a port (driven, never a node);
  // left out when empty.
  std::vector<int32_t> skippedIDs;
  // The scanned ports: their scan IDs first + 1 ... first + count and the
  // colour order the controller has for them ("ports"; left out when
  // empty), and what the scan noticed about them ("colorOrderNotices").
  struct Port {
    int32_t port = 0;
    int32_t first = 0;
    int32_t count = 0;
    std::string colorOrder;
  };
  std::vector<Port> ports;
  std::vector<std::string> colorOrderNotices;
  // LEDs read where another overlapped them too closely to tell them apart,
  // and estimated instead ("overlappingLEDs"; left out when none).
  int32_t overlappingLEDs = 0;
};

// What a scan decoded, as the metadata record is built from it.
struct ScanRecordInputs {
  std::string patternProtocol;
  int32_t frameCount = 0;
  int32_t imageWidth = 0;
  int32_t imageHeight = 0;
  int32_t totalLEDs = 0;
  std::span<const DecodedLed> decoded;  // ascending id
  const DecodeStats* stats = nullptr;   // may be null
};

// The metadata record of a scan: the decoded LEDs, the IDs none of them
// carries, the median nearest-neighbour spacing of the observed ones (when
// there are two), and the per-frame translations rounded to whole pixels
// with their deltas. The caller adds times, calibration and camera.
ScanExportRecord buildScanExportRecord(const ScanRecordInputs& inputs);

struct TimelineEntry {
  std::string label;
  double videoTimeSeconds = 0;
  std::string wallTime;  // left out when empty
};

// Creates <dir>/GlowtraceDebug/scan_<local time> and any missing parents.
// An empty path and "create_directories failed: <reason>" on failure.
std::filesystem::path createScanDataFolder(const std::filesystem::path& dir,
                                           std::string* error);

// The local time as "YYYY-MM-DDTHH:MM:SS".
std::string formatLocalTimestamp();

std::string buildTimelineJson(const std::vector<TimelineEntry>& entries,
                              int32_t schemaVersion);
std::string buildMetadataJson(const ScanExportRecord& record);

[[nodiscard]] bool writeTimelineFile(const std::filesystem::path& folder,
                                     const std::vector<TimelineEntry>& entries,
                                     int32_t schemaVersion,
                                     std::string* error);
[[nodiscard]] bool writeMetadataFile(const std::filesystem::path& folder,
                                     const ScanExportRecord& record,
                                     std::string* error);

// A saved scan-data folder read back: enough to decode its recording again.
struct SavedScan {
  std::string patternProtocol;
  int32_t totalLEDs = 0;
  double settleOffsetSec = 0.3;  // "calibration.effectiveOffsetSec"
  std::optional<std::array<double, 3>> cameraNoise;
  std::vector<int32_t> skippedIds;            // "skippedIDs", ascending, unique
  std::vector<ScanExportRecord::Port> ports;  // "ports", when present
  std::vector<TimelineEntry> timeline;
  std::string videoFile = "scan.mp4";  // a plain name inside the folder
};

// Files larger than this are not read.
inline constexpr uintmax_t kMaxScanDataFileBytes = 64u << 20;

// Parses the texts of "timeline.json" and "metadata.json". False with
// "<file> is not valid JSON", "metadata.json has no totalLEDs" (or a count
// out of range) or "timeline.json has no patterns".
[[nodiscard]] bool parseSavedScan(std::string_view timelineText,
                                  std::string_view metadataText,
                                  SavedScan* out,
                                  std::string* error);

// Reads a scan-data folder's timeline and metadata; also "cannot read
// <path>" and "<path> is too large".
[[nodiscard]] bool readScanDataFolder(const std::filesystem::path& folder,
                                      SavedScan* out,
                                      std::string* error);

// One view of a saved scan for the 3D solve: its picture's size and the
// LEDs decoded in it.
struct SavedView {
  int32_t totalLEDs = 0;
  std::vector<int32_t> skippedIds;            // "skippedIDs", ascending, unique
  std::vector<ScanExportRecord::Port> ports;  // "ports", when present
  ScanView view;                              // "imageWidth", "decodedLEDs"
};

// Parses the text of "metadata.json" for its view. False with "metadata.json
// is not valid JSON", "metadata.json has no totalLEDs" (or a count out of
// range), "metadata.json has no picture size" or "metadata.json has no
// decodedLEDs". LEDs with an ID outside 1 … totalLEDs or a position a
// picture's size or more beyond the picture are left out.
[[nodiscard]] bool parseSavedView(std::string_view metadataText,
                                  SavedView* out,
                                  std::string* error);

// Reads a scan-data folder's metadata for its view; also "cannot read
// <path>" and "<path> is too large".
[[nodiscard]] bool readSavedView(const std::filesystem::path& folder,
                                 SavedView* out,
                                 std::string* error);

// `value` as the scan data writes and reads it back (a number of 9
// significant digits): the positions a live solve uses are those a solve
// of the saved folders reads.
double asSavedNumber(double value);

// Writes `text` to `path`, truncating it. False with "could not open for
// write: <path>" or "write failed: <path>".
[[nodiscard]] bool writeTextFile(const std::filesystem::path& path,
                                 const std::string& text,
                                 std::string* error);

}  // namespace pxo
