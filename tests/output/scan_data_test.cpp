#include "output/scan_data.h"

#include <cctype>
#include <cmath>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace pxo {
namespace {

// True when `text` has the shape of `pattern`, where '#' stands for a digit.
bool shaped(const std::string& text, const std::string& pattern) {
  if (text.size() != pattern.size()) return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (pattern[i] == '#' ? !std::isdigit(static_cast<unsigned char>(text[i]))
                          : text[i] != pattern[i])
      return false;
  return true;
}

ScanExportRecord smallRecord() {
  ScanExportRecord r;
  r.patternProtocol = "gray-rgb-mux-p1-cd1";
  r.wallTime = "2026-12-06T10:11:12";
  r.videoFile = "scan.mp4";
  r.frameCount = 12;
  r.imageWidth = 64;
  r.imageHeight = 48;
  r.totalLEDs = 2;
  r.decodedValid = 1;
  r.missingIDs = {2};
  r.spacingEstimate = 0.1;
  r.signalPeakCount = 5;
  r.signalHistogram = {1, 2, 3, 4, 5, 6, 7, 8};
  r.frameTranslations = {{0, 0}, {1, -1}};
  r.rawFrameDeltas = {{0, 0}};
  r.outlierFrames = {};
  DecodedLed led;
  led.id = 1;
  led.x = 3.0;
  led.y = 0.1;
  led.normX = 0.1f;
  led.normY = 0.5f;
  led.channel = -1;
  led.signal = 3;
  led.confidence = 2;
  r.decodedLEDs.push_back({led, std::string("GRB")});
  return r;
}

TEST(MetadataJson, ByteExact) {
  EXPECT_EQ(
      buildMetadataJson(smallRecord()),
      "{\"scan_schema_version\":2,\"pattern_protocol\":\"gray-rgb-mux-p1-cd1\","
      "\"output_mode\":\"2d\",\"capabilities\":{\"scan_mov\":true,"
      "\"intrinsics\":false,"
      "\"arkit_poses\":false,\"lidar_depth\":false},\"scan_id\":\"\",\"view_"
      "id\":0,"
      "\"frameCount\":12,\"wall_time\":\"2026-12-06T10:11:12\",\"imageWidth\":"
      "64,"
      "\"imageHeight\":48,\"totalLEDs\":2,\"decodedValid\":1,\"missingIDs\":[2]"
      ","
      "\"spacingEstimate\":0.1,\"signalPeakCount\":5,\"signalHistogram\":[1,2,"
      "3,4,5,6,7,8],"
      "\"frameTranslations\":[[0,0],[1,-1]],\"rawFrameDeltas\":[[0,0]],"
      "\"outlierFrames\":[],"
      "\"elapsedSeconds\":0,\"decodedLEDs\":[{\"id\":1,\"x\":3,\"y\":0.1,"
      "\"normX\":0.100000001,\"normY\":0.5,\"channel\":-1,\"signal\":3,"
      "\"confidence\":2,"
      "\"metric\":17,\"estimated\":false,\"colorOrder\":\"GRB\"}],"
      "\"videoFile\":\"scan.mp4\","
      "\"camera\":{\"name\":\"\"}}");
}

TEST(MetadataJson, CalibrationAndOptionalMembers) {
  ScanExportRecord r = smallRecord();
  r.spacingEstimate.reset();
  r.videoFile.reset();
  r.decodedLEDs.clear();
  CalibrationRecord t;
  t.status = "ok";
  t.effectiveOffsetSec = 0.25;
  t.medianGapSec = 0.5;
  t.medianSettleSec = NAN;
  t.usedArrivalRescue = true;
  t.probeOffsetsSec = {0, 0.1};
  t.floods = {{"R-full", 1, 2}, {"G-full", 0, 1}, {"B-full", 2, 3}};
  for (int i = 0; i < 12; ++i) t.probeMeans.push_back(i);
  r.calibration = t;
  std::string text = buildMetadataJson(r);
  EXPECT_EQ(text.find("spacingEstimate"), std::string::npos);
  EXPECT_EQ(text.find("videoFile"), std::string::npos);
  EXPECT_NE(
      text.find(
          "\"decodedLEDs\":[],\"calibration\":{\"status\":\"ok\","
          "\"effectiveOffsetSec\":0.25,\"medianGapSec\":0.5,"
          "\"medianSettleSec\":null,\"usedMidDwellFallback\":false,"
          "\"usedArrivalRescue\":true,\"usedStaticFallback\":false,"
          "\"probeOffsetsSec\":[0,0.1],\"probeMeansFloodMajor\":"
          "[[0,1,2,3],[4,5,6,7],[8,9,10,11]],\"floods\":[{\"label\":\"R-full\","
          "\"arrivalProbeIdx\":1,\"plateauProbeIdx\":2},"),
      std::string::npos)
      << text;
  t.probeMeans.resize(10);
  r.calibration = t;
  EXPECT_EQ(buildMetadataJson(r).find("probeMeansFloodMajor"),
            std::string::npos);
}

TEST(TimelineJson, ByteExact) {
  std::vector<TimelineEntry> entries = {
      {"baseline", 0.5, "2026-12-06T10:11:12"},
      {"bit 0\xE2\x80\xB2", 1.25, ""}};
  EXPECT_EQ(buildTimelineJson(entries, 2),
            "{\"scan_schema_version\":2,\"patterns\":[{\"label\":\"baseline\","
            "\"wallTime\":\"2026-12-06T10:11:12\",\"videoTimeSeconds\":0.5},"
            "{\"label\":\"bit 0\xE2\x80\xB2\",\"videoTimeSeconds\":1.25}]}");
}

class ScanDataFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    root =
        std::filesystem::temp_directory_path() /
        ("pxo-scandata-" +
         std::string(
             ::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root);
  }
  void TearDown() override { std::filesystem::remove_all(root); }
  std::filesystem::path root;
};

TEST_F(ScanDataFolder, CreatesADatedFolderAndWritesBothFiles) {
  std::string error;
  std::filesystem::path folder = createScanDataFolder(root / "chosen", &error);
  ASSERT_FALSE(folder.empty()) << error;
  EXPECT_EQ(folder.parent_path(), root / "chosen" / "GlowtraceDebug");
  EXPECT_TRUE(shaped(folder.filename().string(), "scan_####-##-##_######"))
      << folder;
  EXPECT_TRUE(shaped(formatLocalTimestamp(), "####-##-##T##:##:##"));

  ASSERT_TRUE(writeMetadataFile(folder, smallRecord(), &error)) << error;
  ASSERT_TRUE(writeTimelineFile(folder, {{"baseline", 0, ""}}, 2, &error))
      << error;
  std::ifstream in(folder / "metadata.json", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), buildMetadataJson(smallRecord()));
  EXPECT_TRUE(std::filesystem::exists(folder / "timeline.json"));
}

TEST_F(ScanDataFolder, Failures) {
  std::ofstream(root / "file") << "x";
  std::string error;
  EXPECT_TRUE(createScanDataFolder(root / "file", &error).empty());
  EXPECT_EQ(error.rfind("create_directories failed: ", 0), 0u) << error;
  EXPECT_GT(error.size(), std::string("create_directories failed: ").size());

  EXPECT_FALSE(writeTextFile(root / "missing" / "x.json", "{}", &error));
  EXPECT_EQ(
      error,
      "could not open for write: " + (root / "missing" / "x.json").string());
  if (std::filesystem::exists("/dev/full")) {
    EXPECT_FALSE(writeTextFile("/dev/full", std::string(1 << 16, 'x'), &error));
    EXPECT_EQ(error, "write failed: /dev/full");
  }
}

TEST(ScanExportRecord, BuiltFromTheDecodedLeds) {
  std::vector<DecodedLed> leds(4);
  // IDs 1, 2, 4 observed on a line 3 px apart, ID 5 estimated far away.
  const int32_t ids[] = {1, 2, 4, 5};
  for (size_t i = 0; i < 4; ++i) {
    leds[i].id = ids[i];
    leds[i].x = 10 + 3.0 * i;
    leds[i].y = 20;
  }
  leds[3].estimated = 1;
  leds[3].x = 500;
  DecodeStats stats;
  stats.signalPeakCount = 7;
  stats.frameTranslations = {0.4, -0.6, 1.5, 2.49, -2.5, 0};
  stats.outlierFrames = {2};
  ScanExportRecord r = buildScanExportRecord(
      {"gray-rgb-mux-p1-cd1", 3, 640, 360, 6, leds, &stats});
  EXPECT_EQ(r.decodedValid, 4);
  EXPECT_EQ(r.missingIDs, (std::vector<int32_t>{3, 6}));
  ASSERT_TRUE(r.spacingEstimate);
  EXPECT_DOUBLE_EQ(*r.spacingEstimate, 3.0);  // the estimated LED not counted
  EXPECT_EQ(
      r.frameTranslations,
      (std::vector<std::pair<int32_t, int32_t>>{{0, -1}, {2, 2}, {-3, 0}}));
  EXPECT_EQ(
      r.rawFrameDeltas,
      (std::vector<std::pair<int32_t, int32_t>>{{0, -1}, {2, 3}, {-5, -2}}));
  EXPECT_EQ(r.outlierFrames, std::vector<int32_t>{2});
  EXPECT_EQ(r.signalPeakCount, 7);
  // One observed LED: no spacing; no statistics: no translations.
  r = buildScanExportRecord(
      {"p", 3, 640, 360, 1, std::span(leds).first(1), nullptr});
  EXPECT_FALSE(r.spacingEstimate);
  EXPECT_TRUE(r.frameTranslations.empty());
}

TEST(SavedScan, ReadsBackWhatTheWritersWrote) {
  ScanExportRecord record = smallRecord();
  record.totalLEDs = 150;
  record.cameraNoise = {{4, 5, 6.5}};
  CalibrationRecord calibration;
  calibration.effectiveOffsetSec = 0.18;
  record.calibration = calibration;
  const std::string timeline = buildTimelineJson(
      {{"baseline", 0.1234567891, "2026-12-06T10:00:00"}, {"R-full", 0.3, ""}},
      2);
  SavedScan scan;
  std::string error;
  ASSERT_TRUE(
      parseSavedScan(timeline, buildMetadataJson(record), &scan, &error))
      << error;
  EXPECT_EQ(scan.totalLEDs, 150);
  EXPECT_EQ(scan.patternProtocol, record.patternProtocol);
  EXPECT_DOUBLE_EQ(scan.settleOffsetSec, 0.18);
  ASSERT_TRUE(scan.cameraNoise);
  EXPECT_EQ(*scan.cameraNoise, (std::array<double, 3>{4, 5, 6.5}));
  ASSERT_EQ(scan.timeline.size(), 2u);
  EXPECT_EQ(scan.timeline[0].label, "baseline");
  EXPECT_NEAR(scan.timeline[0].videoTimeSeconds, 0.1234567891, 1e-9);
  EXPECT_EQ(scan.timeline[1].wallTime, "");
  EXPECT_EQ(scan.videoFile, "scan.mp4");
}

TEST(SavedScan, DamagedFilesSayWhatIsWrong) {
  const char* timeline = R"({"patterns":[{"videoTimeSeconds":1}]})";
  struct Case {
    const char* timeline;
    const char* metadata;
    const char* error;
  };
  for (Case c :
       {Case{"{", R"({"totalLEDs":3})", "timeline.json is not valid JSON"},
        Case{timeline, "[]", "metadata.json is not valid JSON"},
        Case{timeline, "{}", "metadata.json has no totalLEDs"},
        Case{
            timeline, R"({"totalLEDs":"9"})", "metadata.json has no totalLEDs"},
        Case{timeline,
             R"({"totalLEDs":1e12})",
             "metadata.json has no totalLEDs"},
        Case{"{}", R"({"totalLEDs":3})", "timeline.json has no patterns"},
        Case{R"({"patterns":[]})",
             R"({"totalLEDs":3})",
             "timeline.json has no patterns"}}) {
    SavedScan scan;
    std::string error;
    EXPECT_FALSE(parseSavedScan(c.timeline, c.metadata, &scan, &error))
        << c.metadata;
    EXPECT_EQ(error, c.error);
  }
  // Values that cannot be what a scan wrote fall back to the defaults; a
  // video name that would leave the folder is not followed.
  SavedScan scan;
  ASSERT_TRUE(
      parseSavedScan(timeline,
                     R"({"totalLEDs":3,"videoFile":"../../etc/passwd",)"
                     R"("calibration":{"effectiveOffsetSec":-1},)"
                     R"("cameraNoise":{"noiseR":1,"noiseG":1e9,"noiseB":1}})",
                     &scan,
                     nullptr));
  EXPECT_EQ(scan.videoFile, "scan.mp4");
  EXPECT_DOUBLE_EQ(scan.settleOffsetSec, 0.3);
  EXPECT_FALSE(scan.cameraNoise);
}

// A view read back for the 3D solve holds the positions a live session
// keeps (asSavedNumber), to the last bit of the float.
TEST(SavedView, ReadsThePositionsALiveSessionKeeps) {
  ScanExportRecord record = smallRecord();
  record.totalLEDs = 4;
  record.ports = {{0, 0, 4, "RGB"}};
  record.skippedIDs = {3};
  DecodedLed led = record.decodedLEDs[0].led;
  // Positions whose 9 digits round the float differently from the double.
  const double places[][2] = {
      {12.345678949, 7.0000004999}, {63.99999996, 0.1}, {1e-9, 47.5}};
  for (int32_t i = 0; i < 3; ++i) {
    led.id = i + 2;
    led.x = places[i][0];
    led.y = places[i][1];
    led.estimated = i == 2;
    record.decodedLEDs.push_back({led, std::nullopt});
  }
  SavedView saved;
  std::string error;
  ASSERT_TRUE(parseSavedView(buildMetadataJson(record), &saved, &error))
      << error;
  EXPECT_EQ(saved.totalLEDs, 4);
  EXPECT_EQ(saved.skippedIds, std::vector<int32_t>{3});
  ASSERT_EQ(saved.ports.size(), 1u);
  EXPECT_EQ(saved.view.width, 64);
  EXPECT_EQ(saved.view.height, 48);
  ASSERT_EQ(saved.view.points.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    const DecodedLed& written = record.decodedLEDs[i].led;
    const ViewPoint& read = saved.view.points[i];
    EXPECT_EQ(read.id, written.id);
    EXPECT_EQ(read.x, static_cast<float>(asSavedNumber(written.x)));
    EXPECT_EQ(read.y, static_cast<float>(asSavedNumber(written.y)));
    EXPECT_EQ(read.estimated, written.estimated != 0);
  }
}

TEST(SavedView, DamagedMetadataSaysWhatIsWrong) {
  struct Case {
    const char* metadata;
    const char* error;
  };
  for (Case c : {Case{"[", "metadata.json is not valid JSON"},
                 Case{R"({"imageWidth":64})", "metadata.json has no totalLEDs"},
                 Case{R"({"totalLEDs":3,"imageWidth":64})",
                      "metadata.json has no picture size"},
                 Case{R"({"totalLEDs":3,"imageWidth":64,"imageHeight":1e9})",
                      "metadata.json has no picture size"},
                 Case{R"({"totalLEDs":3,"imageWidth":64,"imageHeight":48})",
                      "metadata.json has no decodedLEDs"}}) {
    SavedView saved;
    std::string error;
    EXPECT_FALSE(parseSavedView(c.metadata, &saved, &error)) << c.metadata;
    EXPECT_EQ(error, c.error);
  }
  // LEDs no scan of this prop could have decoded are left out.
  SavedView saved;
  ASSERT_TRUE(parseSavedView(
      R"({"totalLEDs":3,"imageWidth":64,"imageHeight":48,"decodedLEDs":[)"
      R"({"id":0,"x":1,"y":1},{"id":4,"x":1,"y":1},{"id":1,"x":1e300,"y":1},)"
      R"({"id":2,"x":"1","y":1},7,{"id":3,"x":70,"y":-5,"estimated":1}]})",
      &saved,
      nullptr));
  ASSERT_EQ(saved.view.points.size(), 1u);
  EXPECT_EQ(saved.view.points[0].id, 3);
  EXPECT_FALSE(saved.view.points[0].estimated);
}

TEST_F(ScanDataFolder, ReadingAMissingFolderFails) {
  SavedScan scan;
  std::string error;
  EXPECT_FALSE(readScanDataFolder(root / "none", &scan, &error));
  EXPECT_EQ(error, "cannot read " + (root / "none" / "timeline.json").string());
}

}  // namespace
}  // namespace pxo
