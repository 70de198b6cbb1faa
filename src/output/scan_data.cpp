#include "output/scan_data.h"

#include "output/json_text.h"
#include "platform/local_time.h"

#include <cstdio>
#include <fstream>
#include <system_error>

namespace pxo {

namespace {

std::string stamp(const char* format) {
  platform::LocalTime t = platform::localTimeNow();
  char buffer[64];
  std::snprintf(buffer,
                sizeof buffer,
                format,
                t.year,
                t.month,
                t.day,
                t.hour,
                t.minute,
                t.second);
  return buffer;
}

std::string calibrationJson(const CalibrationRecord& c) {
  JsonObjectText o;
  if (c.status) o.add("status", jsonString(*c.status));
  o.add("effectiveOffsetSec", jsonDouble(c.effectiveOffsetSec))
      .add("medianGapSec", jsonDouble(c.medianGapSec))
      .add("medianSettleSec", jsonDouble(c.medianSettleSec))
      .add("usedMidDwellFallback", jsonBool(c.usedMidDwellFallback))
      .add("usedArrivalRescue", jsonBool(c.usedArrivalRescue))
      .add("usedStaticFallback", jsonBool(c.usedStaticFallback))
      .add("probeOffsetsSec", jsonDoubleList(c.probeOffsetsSec));
  const size_t means = c.probeMeans.size(), floods = c.floods.size();
  if (means >= 1 && floods >= 1 && means % floods == 0) {
    std::vector<std::string> perFlood;
    const size_t each = means / floods;
    for (size_t f = 0; f < floods; ++f)
      perFlood.push_back(jsonDoubleList(std::vector<double>(
          c.probeMeans.begin() + static_cast<std::ptrdiff_t>(f * each),
          c.probeMeans.begin() + static_cast<std::ptrdiff_t>((f + 1) * each))));
    o.add("probeMeansFloodMajor", jsonList(perFlood));
  }
  std::vector<std::string> floodItems;
  for (const CalibrationRecord::Flood& f : c.floods)
    floodItems.push_back(JsonObjectText()
                             .add("label", jsonString(f.label))
                             .add("arrivalProbeIdx", jsonInt(f.arrivalProbeIdx))
                             .add("plateauProbeIdx", jsonInt(f.plateauProbeIdx))
                             .text());
  o.add("floods", jsonList(floodItems));
  return o.text();
}

}  // namespace

std::string formatLocalTimestamp() {
  return stamp("%04d-%02d-%02dT%02d:%02d:%02d");
}

std::filesystem::path createScanDataFolder(const std::filesystem::path& dir,
                                           std::string* error) {
  std::filesystem::path folder =
      dir / kScanDataRoot / stamp("scan_%04d-%02d-%02d_%02d%02d%02d");
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec || !std::filesystem::is_directory(folder)) {
    if (!ec) ec = std::make_error_code(std::errc::not_a_directory);
    if (error) *error = "create_directories failed: " + ec.message();
    return {};
  }
  return folder;
}

std::string buildTimelineJson(const std::vector<TimelineEntry>& entries,
                              int32_t schemaVersion) {
  std::vector<std::string> patterns;
  patterns.reserve(entries.size());
  for (const TimelineEntry& e : entries) {
    JsonObjectText o;
    o.add("label", jsonString(e.label));
    if (!e.wallTime.empty()) o.add("wallTime", jsonString(e.wallTime));
    o.add("videoTimeSeconds", jsonDouble(e.videoTimeSeconds));
    patterns.push_back(o.text());
  }
  return JsonObjectText()
      .add("scan_schema_version", jsonInt(schemaVersion))
      .add("patterns", jsonList(patterns))
      .text();
}

std::string buildMetadataJson(const ScanExportRecord& r) {
  JsonObjectText o;
  o.add("scan_schema_version", jsonInt(r.schemaVersion))
      .add("pattern_protocol", jsonString(r.patternProtocol))
      .add("output_mode", jsonString(r.outputMode))
      .add("capabilities",
           JsonObjectText()
               .add("scan_mov", jsonBool(r.scanMov))
               .add("intrinsics", jsonBool(r.intrinsics))
               .add("arkit_poses", jsonBool(r.arkitPoses))
               .add("lidar_depth", jsonBool(r.lidarDepth))
               .text())
      .add("scan_id", jsonString(r.scanId))
      .add("view_id", jsonInt(r.viewId))
      .add("frameCount", jsonInt(r.frameCount))
      .add("wall_time", jsonString(r.wallTime))
      .add("imageWidth", jsonInt(r.imageWidth))
      .add("imageHeight", jsonInt(r.imageHeight))
      .add("totalLEDs", jsonInt(r.totalLEDs))
      .add("decodedValid", jsonInt(r.decodedValid))
      .add("missingIDs", jsonIntList(r.missingIDs));
  if (r.spacingEstimate)
    o.add("spacingEstimate", jsonDouble(*r.spacingEstimate));
  o.add("signalPeakCount", jsonInt(r.signalPeakCount))
      .add("signalHistogram", jsonIntList(r.signalHistogram))
      .add("frameTranslations", jsonPairList(r.frameTranslations))
      .add("rawFrameDeltas", jsonPairList(r.rawFrameDeltas))
      .add("outlierFrames", jsonIntList(r.outlierFrames))
      .add("elapsedSeconds", jsonDouble(r.elapsedSeconds));
  std::vector<std::string> leds;
  leds.reserve(r.decodedLEDs.size());
  for (const ExportedLed& e : r.decodedLEDs) {
    const DecodedLed& led = e.led;
    JsonObjectText item;
    item.add("id", jsonInt(led.id))
        .add("x", jsonDouble(led.x))
        .add("y", jsonDouble(led.y))
        .add("normX", jsonFloat(led.normX))
        .add("normY", jsonFloat(led.normY))
        .add("channel", jsonInt(led.channel))
        .add("signal", jsonInt(led.signal))
        .add("confidence", jsonInt(led.confidence))
        .add("metric", jsonInt(int64_t{5} * led.signal + led.confidence))
        .add("estimated", jsonBool(led.estimated != 0));
    if (e.colorOrder) item.add("colorOrder", jsonString(*e.colorOrder));
    leds.push_back(item.text());
  }
  o.add("decodedLEDs", jsonList(leds));
  if (r.calibration) o.add("calibration", calibrationJson(*r.calibration));
  if (r.videoFile) o.add("videoFile", jsonString(*r.videoFile));
  o.add("camera",
        JsonObjectText().add("name", jsonString(r.cameraName)).text());
  return o.text();
}

bool writeTextFile(const std::filesystem::path& path,
                   const std::string& text,
                   std::string* error) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) {
    if (error) *error = "could not open for write: " + path.string();
    return false;
  }
  file.write(text.data(), static_cast<std::streamsize>(text.size()));
  file.close();
  if (!file) {
    if (error) *error = "write failed: " + path.string();
    return false;
  }
  return true;
}

bool writeTimelineFile(const std::filesystem::path& folder,
                       const std::vector<TimelineEntry>& entries,
                       int32_t schemaVersion,
                       std::string* error) {
  return writeTextFile(
      folder / kTimelineFile, buildTimelineJson(entries, schemaVersion), error);
}

bool writeMetadataFile(const std::filesystem::path& folder,
                       const ScanExportRecord& record,
                       std::string* error) {
  return writeTextFile(
      folder / kMetadataFile, buildMetadataJson(record), error);
}

}  // namespace pxo
