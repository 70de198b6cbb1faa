#include "output/scan_data.h"

#include "decode/nearest.h"
#include "json/json.h"
#include "json/json_text.h"
#include "platform/local_time.h"
#include "platform/utf8_path.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <system_error>

namespace pxo {

namespace {

std::string stamp(const char* format) {
  return platform::formatTime(platform::localTimeNow(), format);
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

namespace {

std::string decodedLedsJson(const std::vector<ExportedLed>& decoded) {
  std::vector<std::string> leds;
  leds.reserve(decoded.size());
  for (const ExportedLed& e : decoded) {
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
  return jsonList(leds);
}

// What the scan was laid out as and how the camera saw it: the skipped
// IDs, the ports, the LEDs left to estimation, the colour-order notices,
// the camera's noise and the brightness used; each only where there is one.
void addScanLayout(const ScanExportRecord& r, JsonObjectText* o) {
  if (!r.skippedIDs.empty()) o->add("skippedIDs", jsonIntList(r.skippedIDs));
  if (!r.ports.empty()) {
    std::vector<std::string> ports;
    for (const ScanExportRecord::Port& p : r.ports)
      ports.push_back(JsonObjectText()
                          .add("port", jsonInt(p.port))
                          .add("first", jsonInt(p.first))
                          .add("count", jsonInt(p.count))
                          .add("colorOrder", jsonString(p.colorOrder))
                          .text());
    o->add("ports", jsonList(ports));
  }
  if (r.overlappingLEDs > 0)
    o->add("overlappingLEDs", jsonInt(r.overlappingLEDs));
  if (!r.colorOrderNotices.empty()) {
    std::vector<std::string> notices;
    for (const std::string& n : r.colorOrderNotices)
      notices.push_back(jsonString(n));
    o->add("colorOrderNotices", jsonList(notices));
  }
  if (r.cameraNoise)
    o->add("cameraNoise",
           JsonObjectText()
               .add("noiseR", jsonDouble((*r.cameraNoise)[0]))
               .add("noiseG", jsonDouble((*r.cameraNoise)[1]))
               .add("noiseB", jsonDouble((*r.cameraNoise)[2]))
               .text());
  if (r.brightnessLevel) {
    JsonObjectText brightness;
    brightness.add("level", jsonInt(*r.brightnessLevel));
    if (r.exposureSeconds)
      brightness.add("exposureSeconds", jsonDouble(*r.exposureSeconds));
    o->add("brightness", brightness.text());
  }
}

}  // namespace

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
  o.add("decodedLEDs", decodedLedsJson(r.decodedLEDs));
  if (r.calibration) o.add("calibration", calibrationJson(*r.calibration));
  if (r.videoFile) o.add("videoFile", jsonString(*r.videoFile));
  JsonObjectText camera;
  camera.add("name", jsonString(r.cameraName));
  if (r.reorderDepth)
    camera.add("reorderDepth", jsonInt(*r.reorderDepth))
        .add("reorderDepthFrom", jsonString(r.reorderDepthFrom));
  o.add("camera", camera.text());
  addScanLayout(r, &o);
  return o.text();
}

ScanExportRecord buildScanExportRecord(const ScanRecordInputs& in) {
  ScanExportRecord record;
  record.patternProtocol = in.patternProtocol;
  record.frameCount = in.frameCount;
  record.imageWidth = in.imageWidth;
  record.imageHeight = in.imageHeight;
  record.totalLEDs = in.totalLEDs;
  record.decodedValid = static_cast<int32_t>(in.decoded.size());

  std::vector<uint8_t> seen(static_cast<size_t>(std::max(in.totalLEDs, 0)) + 1,
                            0);
  for (const DecodedLed& led : in.decoded)
    if (led.id >= 1 && led.id <= in.totalLEDs)
      seen[static_cast<size_t>(led.id)] = 1;
  for (int32_t id = 1; id <= in.totalLEDs; ++id)
    if (!seen[static_cast<size_t>(id)]) record.missingIDs.push_back(id);

  std::vector<std::array<double, 2>> seenAt;
  for (const DecodedLed& led : in.decoded)
    if (!led.estimated) seenAt.push_back({led.x, led.y});
  std::vector<double> nearest = nearestNeighbourDistances(seenAt);
  std::erase_if(nearest, [](double d) { return !std::isfinite(d); });
  if (nearest.size() >= 2) {
    std::sort(nearest.begin(), nearest.end());
    record.spacingEstimate = nearest[nearest.size() / 2];
  }

  if (in.stats) {
    const DecodeStats& stats = *in.stats;
    record.signalPeakCount = stats.signalPeakCount;
    record.overlappingLEDs = stats.overlapping;
    record.signalHistogram.assign(stats.signalHistogram.begin(),
                                  stats.signalHistogram.end());
    std::pair<int32_t, int32_t> previous{0, 0};
    const size_t frames = std::min(static_cast<size_t>(in.frameCount),
                                   stats.frameTranslations.size() / 2);
    for (size_t f = 0; f < frames; ++f) {
      std::pair<int32_t, int32_t> rounded{
          static_cast<int32_t>(std::lround(stats.frameTranslations[2 * f])),
          static_cast<int32_t>(
              std::lround(stats.frameTranslations[2 * f + 1]))};
      record.frameTranslations.push_back(rounded);
      record.rawFrameDeltas.push_back(
          {rounded.first - previous.first, rounded.second - previous.second});
      previous = rounded;
    }
    record.outlierFrames = stats.outlierFrames;
  }
  record.decodedLEDs.reserve(in.decoded.size());
  for (const DecodedLed& led : in.decoded)
    record.decodedLEDs.push_back({led, std::nullopt});
  return record;
}

namespace {

// LED counts beyond this are not a prop but a damaged file.
constexpr int32_t kMaxSavedLeds = 1 << 20;

bool readBoundedFile(const std::filesystem::path& path,
                     std::string* text,
                     std::string* error) {
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) {
    if (error) *error = "cannot read " + platform::pathToUtf8(path);
    return false;
  }
  if (size > kMaxScanDataFileBytes) {
    if (error) *error = platform::pathToUtf8(path) + " is too large";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (!in) {
    if (error) *error = "cannot read " + platform::pathToUtf8(path);
    return false;
  }
  *text = buffer.str();
  return true;
}

// A file name that stays inside the folder: no separators, not "." or "..".
bool isPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\") == std::string::npos &&
         name.find('\0') == std::string::npos;
}

// The LED count, skipped IDs and ports of a metadata document; false when
// the count is missing or out of range.
bool parseLedLayout(const JsonValue& metadata,
                    int32_t* totalLEDs,
                    std::vector<int32_t>* skippedIds,
                    std::vector<ScanExportRecord::Port>* ports) {
  *totalLEDs = getInt(metadata, "totalLEDs", 0);
  if (*totalLEDs < 1 || *totalLEDs > kMaxSavedLeds) return false;
  if (const JsonValue* skipped = findMember(metadata, "skippedIDs");
      skipped && skipped->isArray()) {
    for (const JsonValue& id : skipped->array) {
      const int32_t value = jsonToInt(id, 0);
      if (value >= 1 && value <= kMaxSavedLeds) skippedIds->push_back(value);
    }
    std::sort(skippedIds->begin(), skippedIds->end());
    skippedIds->erase(std::unique(skippedIds->begin(), skippedIds->end()),
                      skippedIds->end());
    if (*totalLEDs + static_cast<int64_t>(skippedIds->size()) > kMaxSavedLeds)
      return false;
  }
  if (const JsonValue* list = findMember(metadata, "ports");
      list && list->isArray()) {
    for (const JsonValue& p : list->array) {
      ScanExportRecord::Port port{getInt(p, "port", 0),
                                  getInt(p, "first", -1),
                                  getInt(p, "count", 0),
                                  getString(p, "colorOrder", "RGB")};
      if (port.first >= 0 && port.count > 0 && port.first <= kMaxSavedLeds &&
          port.count <= kMaxSavedLeds && ports->size() < 10000)
        ports->push_back(std::move(port));
    }
  }
  return true;
}

}  // namespace

bool parseSavedScan(std::string_view timelineText,
                    std::string_view metadataText,
                    SavedScan* out,
                    std::string* error) {
  auto fail = [&](const std::string& message) {
    if (error) *error = message;
    return false;
  };
  JsonValue timeline, metadata;
  if (!parseJsonDocument(timelineText, &timeline) || !timeline.isObject())
    return fail(std::string(kTimelineFile) + " is not valid JSON");
  if (!parseJsonDocument(metadataText, &metadata) || !metadata.isObject())
    return fail(std::string(kMetadataFile) + " is not valid JSON");

  SavedScan scan;
  if (!parseLedLayout(metadata, &scan.totalLEDs, &scan.skippedIds, &scan.ports))
    return fail("metadata.json has no totalLEDs");
  scan.patternProtocol = getString(metadata, "pattern_protocol", "");
  if (const JsonValue* c = findMember(metadata, "calibration")) {
    const double offset = getNumber(*c, "effectiveOffsetSec", -1);
    if (std::isfinite(offset) && offset >= 0 && offset < 10)
      scan.settleOffsetSec = offset;
  }
  if (const JsonValue* n = findMember(metadata, "cameraNoise")) {
    std::array<double, 3> noise = {getNumber(*n, "noiseR", -1),
                                   getNumber(*n, "noiseG", -1),
                                   getNumber(*n, "noiseB", -1)};
    if (std::all_of(noise.begin(), noise.end(), [](double v) {
          return std::isfinite(v) && v >= 0 && v <= 255;
        }))
      scan.cameraNoise = noise;
  }
  const std::string video = getString(metadata, "videoFile", "scan.mp4");
  if (isPlainFileName(video)) scan.videoFile = video;

  const JsonValue* patterns = findMember(timeline, "patterns");
  if (!patterns || !patterns->isArray() || patterns->array.empty())
    return fail("timeline.json has no patterns");
  scan.timeline.reserve(patterns->array.size());
  for (const JsonValue& p : patterns->array) {
    TimelineEntry entry;
    entry.label = getString(p, "label", "");
    entry.wallTime = getString(p, "wallTime", "");
    const double time = getNumber(p, "videoTimeSeconds", 0);
    entry.videoTimeSeconds = std::isfinite(time) ? time : 0;
    scan.timeline.push_back(std::move(entry));
  }
  *out = std::move(scan);
  return true;
}

bool readScanDataFolder(const std::filesystem::path& folder,
                        SavedScan* out,
                        std::string* error) {
  std::string timeline, metadata;
  if (!readBoundedFile(folder / kTimelineFile, &timeline, error) ||
      !readBoundedFile(folder / kMetadataFile, &metadata, error))
    return false;
  return parseSavedScan(timeline, metadata, out, error);
}

bool parseSavedView(std::string_view metadataText,
                    SavedView* out,
                    std::string* error) {
  auto fail = [&](const std::string& message) {
    if (error) *error = message;
    return false;
  };
  JsonValue metadata;
  if (!parseJsonDocument(metadataText, &metadata) || !metadata.isObject())
    return fail(std::string(kMetadataFile) + " is not valid JSON");
  SavedView saved;
  if (!parseLedLayout(
          metadata, &saved.totalLEDs, &saved.skippedIds, &saved.ports))
    return fail("metadata.json has no totalLEDs");
  const double width = getNumber(metadata, "imageWidth", 0);
  const double height = getNumber(metadata, "imageHeight", 0);
  // Pictures are decoded at most 1024 pixels wide; a hundred times that is
  // no camera's.
  if (!(width >= 1 && width <= 1e5 && height >= 1 && height <= 1e5))
    return fail("metadata.json has no picture size");
  saved.view.width = static_cast<float>(width);
  saved.view.height = static_cast<float>(height);
  const JsonValue* leds = findMember(metadata, "decodedLEDs");
  if (!leds || !leds->isArray())
    return fail("metadata.json has no decodedLEDs");
  saved.view.points.reserve(
      std::min<size_t>(leds->array.size(), size_t(saved.totalLEDs)));
  for (const JsonValue& led : leds->array) {
    if (!led.isObject()) continue;
    const int32_t id = getInt(led, "id", 0);
    const double x = getNumber(led, "x", HUGE_VAL);
    const double y = getNumber(led, "y", HUGE_VAL);
    // Estimated LEDs may lie a little outside the picture; nothing lies
    // a picture's width away from it.
    if (id < 1 || id > saved.totalLEDs || !(std::abs(x) <= 2 * width) ||
        !(std::abs(y) <= 2 * height))
      continue;
    const JsonValue* estimated = findMember(led, "estimated");
    saved.view.points.push_back({id,
                                 static_cast<float>(x),
                                 static_cast<float>(y),
                                 estimated &&
                                     estimated->type == JsonType::kBoolean &&
                                     estimated->boolean});
  }
  *out = std::move(saved);
  return true;
}

bool readSavedView(const std::filesystem::path& folder,
                   SavedView* out,
                   std::string* error) {
  std::string metadata;
  return readBoundedFile(folder / kMetadataFile, &metadata, error) &&
         parseSavedView(metadata, out, error);
}

double asSavedNumber(double value) {
  JsonValue parsed;
  return parseJsonDocument(jsonDouble(value), &parsed) &&
                 parsed.type == JsonType::kNumber
             ? parsed.number
             : value;
}

bool writeTextFile(const std::filesystem::path& path,
                   const std::string& text,
                   std::string* error) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) {
    if (error)
      *error = "could not open for write: " + platform::pathToUtf8(path);
    return false;
  }
  file.write(text.data(), static_cast<std::streamsize>(text.size()));
  file.close();
  if (!file) {
    if (error) *error = "write failed: " + platform::pathToUtf8(path);
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
