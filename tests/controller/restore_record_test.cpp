// Restore records on disk: what is written is what is read back, a record
// damaged in any way is reported and never applied, one controller's record
// is never another's, and only the user can read them.

#include "controller/restore_record.h"

#include "codec/sha1.h"
#include "controller/state_folder.h"
#include "json/json.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace pxo {
namespace {

namespace fs = std::filesystem;

fs::path testFolder() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return fs::temp_directory_path() /
         (std::string("pxo-records-") + info->name() + "-" +
          std::to_string(std::rand()));
}

// Each test its own state folder.
class RestoreRecords : public ::testing::Test {
 protected:
  RestoreRecords() : folder_(testFolder()), state_(folder_) {}
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }

  fs::path folder_;
  test::ScopedStateFolder state_;
};

RestoreRecord controllerRecord(const std::string& host) {
  RestoreRecord record;
  record.device = kControllerDevice;
  record.key = controllerRecordKey(host);
  record.host = host;
  record.kind = "fpp";
  record.hostName = "FPP-Yard";
  record.platform = "Raspberry Pi";
  record.version = "9.5.3";
  RestoreFile strings;
  strings.name = "pixel strings";
  strings.path = "/api/channel/output/co-pixelStrings";
  // Bytes of every kind: the record keeps them exactly.
  strings.original = std::string("{\"a\":\"\xC3\xA9\\u00e9\\\\\"}\0\xFF\n", 17);
  strings.scanDigest = documentDigest("{\"scan\":1}");
  RestoreFile universes;
  universes.name = "universe inputs";
  universes.path = "/api/configfile/ci-universes.json";
  universes.existed = false;
  universes.scanDigest = documentDigest("{}");
  record.files = {strings, universes};
  return record;
}

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeAll(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

TEST_F(RestoreRecords, WhatIsWrittenIsReadBackExactly) {
  const RestoreRecord written = controllerRecord("fpp.local");
  std::string error;
  ASSERT_TRUE(writeRestoreRecord(written, &error)) << error;
  RestoreRecord read;
  ASSERT_EQ(readRestoreRecord(kControllerDevice, written.key, &read, &error),
            RecordState::kOk)
      << error;
  EXPECT_FALSE(read.created.empty());
  EXPECT_EQ(read.host, "fpp.local");
  EXPECT_EQ(read.hostName, "FPP-Yard");
  ASSERT_EQ(read.files.size(), 2u);
  EXPECT_EQ(read.files[0].original, written.files[0].original);
  EXPECT_EQ(read.files[0].scanDigest, written.files[0].scanDigest);
  EXPECT_FALSE(read.files[1].existed);

  // Readable by the user only, in a folder of the user's only (on Windows
  // the profile's own permissions); no temporary file left beside it.
  const fs::path path = restoreRecordPath(kControllerDevice, written.key);
#ifndef _WIN32
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(path.parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
#endif
  EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()),
                          fs::directory_iterator()),
            1);
  EXPECT_EQ(readAll(path).find("password"), std::string::npos);

  EXPECT_TRUE(removeRestoreRecord(kControllerDevice, written.key, &error));
  EXPECT_EQ(readRestoreRecord(kControllerDevice, written.key, &read, &error),
            RecordState::kNone);
}

TEST_F(RestoreRecords, DamagedRecordsAreReportedNeverApplied) {
  const RestoreRecord written = controllerRecord("fpp.local");
  std::string error;
  ASSERT_TRUE(writeRestoreRecord(written, &error));
  const fs::path path = restoreRecordPath(kControllerDevice, written.key);
  const std::string whole = readAll(path);

  struct Damage {
    const char* what;
    std::string text;
    const char* says;
  };
  std::string flipped = whole;
  flipped[whole.find("FPP-Yard")] = 'X';
  std::string newer = whole;
  newer.replace(newer.find("\"format\":1"), 10, "\"format\":2");
  const Damage damages[] = {
      {"cut short", whole.substr(0, whole.size() / 2), "cut short"},
      {"empty", "", "cut short"},
      {"one byte changed", flipped, "digest"},
      {"another format", newer, "digest"},
      {"not a record", "{\"hello\":1}", "not a restore record"},
  };
  for (const Damage& d : damages) {
    writeAll(path, d.text);
    RestoreRecord read;
    error.clear();
    EXPECT_EQ(readRestoreRecord(kControllerDevice, written.key, &read, &error),
              RecordState::kDamaged)
        << d.what;
    EXPECT_NE(error.find(d.says), std::string::npos) << d.what << ": " << error;
    EXPECT_TRUE(read.files.empty()) << d.what;
  }

  // A record of an older format, whole: named as such, not applied.
  JsonValue doc;
  ASSERT_TRUE(parseJsonDocument(whole, &doc));
  doc.object.erase("digest");
  setNumber(doc, "format", 0);
  setString(doc, "digest", sha1Hex(toJsonText(doc)));
  RestoreRecord older;
  EXPECT_FALSE(parseRestoreRecord(toJsonText(doc), &older, &error));
  EXPECT_NE(error.find("another version of pixoria (format 0)"),
            std::string::npos)
      << error;

  // Listed as damaged, with the reason.
  writeAll(path, whole.substr(0, 40));
  const std::vector<ListedRecord> listed = listRestoreRecords();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].state, RecordState::kDamaged);
  EXPECT_FALSE(listed[0].problem.empty());
}

TEST_F(RestoreRecords, OneRecordPerControllerWhateverItsSpelling) {
  EXPECT_EQ(controllerRecordKey("FPP.local"), "fpp.local:80");
  EXPECT_EQ(controllerRecordKey("http://fpp.local:80/"), "fpp.local:80");
  EXPECT_EQ(controllerRecordKey(" 192.168.1.50:8080 "), "192.168.1.50:8080");
  EXPECT_EQ(controllerRecordKey("[fe80::1]"), "[fe80::1]:80");
  EXPECT_EQ(controllerRecordKey("[fe80::1]:81"), "[fe80::1]:81");

  std::string error;
  RestoreRecord first = controllerRecord("127.0.0.5:8080");
  RestoreRecord second = controllerRecord("127.0.0.6:8080");
  second.hostName = "FPP-Porch";
  ASSERT_TRUE(writeRestoreRecord(first, &error));
  ASSERT_TRUE(writeRestoreRecord(second, &error));
  RestoreRecord read;
  ASSERT_EQ(readRestoreRecord(kControllerDevice, first.key, &read, &error),
            RecordState::kOk);
  EXPECT_EQ(read.hostName, "FPP-Yard");
  ASSERT_EQ(readRestoreRecord(kControllerDevice, second.key, &read, &error),
            RecordState::kOk);
  EXPECT_EQ(read.hostName, "FPP-Porch");
  EXPECT_EQ(listRestoreRecords().size(), 2u);

  // Replacing one leaves the other.
  first.version = "9.6";
  ASSERT_TRUE(writeRestoreRecord(first, &error));
  ASSERT_EQ(readRestoreRecord(kControllerDevice, second.key, &read, &error),
            RecordState::kOk);
  EXPECT_EQ(read.version, "9.5.3");

  // A record copied over another controller's is not taken for it.
  writeAll(restoreRecordPath(kControllerDevice, second.key),
           readAll(restoreRecordPath(kControllerDevice, first.key)));
  EXPECT_EQ(readRestoreRecord(kControllerDevice, second.key, &read, &error),
            RecordState::kDamaged);
}

TEST_F(RestoreRecords, CameraControlsRoundTrip) {
  RestoreRecord record;
  record.device = kCameraDevice;
  record.key = "/dev/v4l/by-id/usb-Cam-video-index0";
  record.controls = {{"auto_exposure", 10094849, 3, 0},
                     {"exposure_time_absolute", 10094850, -250, 2}};
  std::string error;
  ASSERT_TRUE(writeRestoreRecord(record, &error)) << error;
  RestoreRecord read;
  ASSERT_EQ(readRestoreRecord(kCameraDevice, record.key, &read, &error),
            RecordState::kOk)
      << error;
  ASSERT_EQ(read.controls.size(), 2u);
  EXPECT_EQ(read.controls[1].name, "exposure_time_absolute");
  EXPECT_EQ(read.controls[1].value, -250);
  EXPECT_EQ(read.controls[1].flags, 2);
}

TEST_F(RestoreRecords, NoStateFolderIsAnErrorNotACrash) {
  // A state folder that cannot be made: a file stands where it would be.
  writeAll(folder_, "not a folder");
  std::string error;
  EXPECT_FALSE(writeRestoreRecord(controllerRecord("fpp.local"), &error));
  EXPECT_FALSE(error.empty());
  RestoreRecord read;
  EXPECT_EQ(
      readRestoreRecord(
          kControllerDevice, controllerRecordKey("fpp.local"), &read, &error),
      RecordState::kNone);
  fs::remove(folder_);
}

TEST(CanonicalDocument, WhatThePostSaidAndWhatTheControllerServesCompareEqual) {
  // The controller answers with "\/", "\u00e9", whole numbers as floats
  // and a "status" of its own.
  EXPECT_EQ(
      canonicalDocument("{\"a\":\"x/\xC3\xA9\",\"n\":1}"),
      canonicalDocument("{\"a\":\"x\\/\\u00e9\",\"n\":1.0,\"status\":\"OK\"}"));
  EXPECT_EQ(canonicalDocument("{\"a\":{},\"b\":[]}"),
            canonicalDocument("{\"a\":[],\"b\":[],\"status\":\"OK\"}"));
  EXPECT_NE(documentDigest("{\"n\":1}"), documentDigest("{\"n\":2}"));
  // Key order is content: the controller keeps it.
  EXPECT_NE(canonicalDocument("{\"a\":1,\"b\":2}"),
            canonicalDocument("{\"b\":2,\"a\":1}"));
  EXPECT_EQ(canonicalDocument("not json"), "not json");
}

}  // namespace
}  // namespace pxo
