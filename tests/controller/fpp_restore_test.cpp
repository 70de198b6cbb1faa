// The controller's configuration around a scan, over real sockets against
// the simulated controller: the restore gives back the very bytes the
// controller held, puts back only what was changed, restarts fppd on FPP 8,
// and nothing is changed while a show plays.

#include "controller/fpp_restore.h"

#include "controller/fpp_client.h"
#include "controller/fpp_reconfigure.h"
#include "controller/restore_record.h"
#include "controller/scan_every_port.h"
#include "controller/state_folder.h"
#include "json/json.h"

#include "sim/fpp_simulator.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace pxo {
namespace {

std::string readData(const std::string& name) {
  std::ifstream in(std::string(PXO_SOURCE_DIR) + "/tests/data/fpp/" + name,
                   std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  EXPECT_FALSE(text.str().empty()) << name;
  return text.str();
}

JsonValue parseData(const std::string& name) {
  JsonValue doc;
  EXPECT_TRUE(parseJsonDocument(readData(name), &doc)) << name;
  return doc;
}

// A controller holding the fixture files as the controller itself wrote
// them: the pixel strings as its web page posted them (compact, UTF-8),
// the universe file pretty-printed by the controller.
std::unique_ptr<sim::FppSimulator> startController(
    const std::string& systemInfo,
    const std::string& strings,
    const std::string& universes,
    const std::string& version = "") {
  sim::FppSimConfig config;
  config.systemInfo = parseData(systemInfo);
  if (!version.empty()) setString(config.systemInfo, "Version", version);
  config.pixelStrings = parseData(strings);
  if (!universes.empty()) config.universes = parseData(universes);
  auto fpp = std::make_unique<sim::FppSimulator>(std::move(config));
  fpp->setPixelStringsFile(readData(strings));
  std::string error;
  EXPECT_TRUE(fpp->start(&error)) << error;
  return fpp;
}

// The Pi with two ports and a user's own E1.31 input, most tests' controller.
std::unique_ptr<sim::FppSimulator> startPiController() {
  return startController("system-info-pi.json",
                         "co-pixelStrings-pihat.ui.json",
                         "ci-universes-e131.json");
}

// What the record of the controller at `fpp` is now.
RecordState recordStateOf(const sim::FppSimulator& fpp) {
  RestoreRecord record;
  std::string problem;
  return readRestoreRecord(kControllerDevice,
                           controllerRecordKey(fpp.httpAddress()),
                           &record,
                           &problem);
}

// Every port with pixels, one after another from channel 3000.
std::vector<ScanPortSpec> scanEveryPort(const ControllerLink& link) {
  return test::scanEveryPort(link, 3000);
}

// The scan configuration of scanEveryPort; empty when it cannot be built.
std::string scanConfigOf(const ControllerLink& link) {
  std::string text;
  if (!buildScanPortConfig(link.savedPortStrings, scanEveryPort(link), &text))
    text.clear();
  return text;
}

int countChanges(const sim::FppSimulator& fpp) {
  int changes = 0;
  for (const sim::LoggedRequest& r : fpp.requests())
    changes +=
        r.method == "POST" || r.method == "DELETE" || r.path == kFppRestartPath;
  return changes;
}

struct Files {
  const char* systemInfo;
  const char* strings;
  const char* universes;
};

class ByteIdenticalRestore : public ::testing::TestWithParam<Files> {};

TEST_P(ByteIdenticalRestore, TheControllerGetsItsOwnBytesBack) {
  const Files files = GetParam();
  auto fpp = startController(files.systemInfo, files.strings, files.universes);
  const std::optional<std::string> stringsBefore = fpp->pixelStringsFile();
  const std::optional<std::string> universesBefore = fpp->universeFile();
  ASSERT_TRUE(stringsBefore);

  ControllerLink link;
  std::string error;
  ASSERT_TRUE(connectController(&link, fpp->httpAddress(), "", "", &error))
      << error;
  const std::string scanConfig = scanConfigOf(link);
  ASSERT_FALSE(scanConfig.empty());
  ASSERT_TRUE(applyScanConfiguration(&link, scanConfig, {}, &error)) << error;
  EXPECT_NE(fpp->pixelStringsFile(), stringsBefore);
  EXPECT_TRUE(fpp->universeInputEnabled());

  restoreController(&link);
  EXPECT_EQ(fpp->pixelStringsFile(), stringsBefore);
  EXPECT_EQ(fpp->universeFile(), universesBefore);
  // Restoring again changes nothing.
  fpp->clearRequests();
  restoreController(&link);
  EXPECT_EQ(countChanges(*fpp), 0);
}

INSTANTIATE_TEST_SUITE_P(
    FixtureFiles,
    ByteIdenticalRestore,
    ::testing::Values(
        Files{"system-info-pi.json",
              "co-pixelStrings-pihat.ui.json",
              "ci-universes-e131.json"},
        Files{"system-info-pi.json",
              "co-pixelStrings-pihat.ui.json",
              "ci-universes-disabled.json"},
        Files{"system-info-bbb.json", "co-bbbStrings-f8b-12port.ui.json", ""}));

TEST(Restore, PutsBackOnlyWhatWasChanged) {
  auto fpp = startPiController();
  ControllerLink link;
  std::string error;
  ASSERT_TRUE(connectController(&link, fpp->httpAddress(), "", "", &error))
      << error;
  // Connected, never changed: a restore sends nothing at all (before, it
  // posted both files back, and without a snapshot deleted the universe
  // file).
  fpp->clearRequests();
  restoreController(&link);
  EXPECT_EQ(countChanges(*fpp), 0);

  // Interrupted after the scan configuration: both files go back, and no
  // later change is accepted.
  ASSERT_TRUE(connectController(&link, fpp->httpAddress(), "", "", &error));
  const auto stringsBefore = fpp->pixelStringsFile();
  const auto universesBefore = fpp->universeFile();
  const std::string scanConfig = scanConfigOf(link);
  ASSERT_FALSE(scanConfig.empty());
  ASSERT_TRUE(applyScanConfiguration(&link, scanConfig, {}, &error));
  EXPECT_EQ(interruptController(&link, &error), InterruptRestore::kRestored);
  EXPECT_EQ(fpp->pixelStringsFile(), stringsBefore);
  EXPECT_EQ(fpp->universeFile(), universesBefore);
  fpp->clearRequests();
  EXPECT_FALSE(applyScanConfiguration(&link, scanConfig, {}, &error));
  EXPECT_EQ(error, "interrupted");
  EXPECT_EQ(interruptController(&link, &error),
            InterruptRestore::kNothingChanged);
  EXPECT_EQ(countChanges(*fpp), 0);
}

// An interrupt on another thread while the scan configuration is still on
// its way to a slow controller: it waits until the configuration is sent,
// then puts both files back; the two threads' requests never overlap.
TEST(Restore, AnInterruptWaitsForTheChangeInFlight) {
  auto fpp = startPiController();
  ControllerLink link;
  std::string error;
  ASSERT_TRUE(connectController(&link, fpp->httpAddress(), "", "", &error));
  const auto stringsBefore = fpp->pixelStringsFile();
  const auto universesBefore = fpp->universeFile();
  const std::string scanConfig = scanConfigOf(link);
  ASSERT_FALSE(scanConfig.empty());
  fpp->setDelay("POST", kFppPixelStringsPath, 600);
  fpp->clearRequests();
  std::thread scan([&] {
    std::string scanError;
    (void)applyScanConfiguration(&link, scanConfig, {}, &scanError);
  });
  // Wait until the slow POST has reached the controller.
  for (int i = 0; i < 400 && fpp->requests().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(interruptController(&link, &error), InterruptRestore::kRestored);
  scan.join();
  EXPECT_EQ(fpp->pixelStringsFile(), stringsBefore);
  EXPECT_EQ(fpp->universeFile(), universesBefore);
  // The scan's POST came first, the restore's after it.
  std::vector<std::string> seen;
  for (const sim::LoggedRequest& r : fpp->requests())
    seen.push_back(r.method + " " + r.path);
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[0], std::string("POST ") + kFppPixelStringsPath);
}

TEST(Restore, Fpp8RestartsFppdToApplyEachChange) {
  auto fpp = startController(
      "system-info-pi.json", "co-pixelStrings-pihat.ui.json", "", "8.5.1");
  ASSERT_TRUE(fpp->appliesFilesOnRestartOnly());
  ControllerLink link;
  std::string error;
  ASSERT_TRUE(connectController(&link, fpp->httpAddress(), "", "", &error))
      << error;
  EXPECT_EQ(link.fppMajorVersion, 8);
  const std::string scanConfig = scanConfigOf(link);
  ASSERT_FALSE(scanConfig.empty());
  std::vector<std::string> progress;
  auto report = [&](const std::string& m) { progress.push_back(m); };
  ASSERT_TRUE(applyScanConfiguration(&link, scanConfig, report, &error));
  // The configuration took effect: network input is on once fppd is back.
  EXPECT_EQ(fpp->restartCount(), 1);
  EXPECT_TRUE(fpp->universeInputEnabled());
  ASSERT_EQ(progress.size(), 1u);
  EXPECT_EQ(progress[0],
            "Restarting FPP to apply the scan configuration\xE2\x80\xA6");

  restoreController(&link, report);
  EXPECT_EQ(fpp->restartCount(), 2);
  EXPECT_FALSE(fpp->universeInputEnabled());
  EXPECT_EQ(fpp->universeFile(), std::nullopt);
  ASSERT_EQ(progress.size(), 2u);
  EXPECT_EQ(progress[1],
            "Restarting FPP to apply the restored configuration\xE2\x80\xA6");
}

TEST(Restore, Fpp9AndLaterNeedNoRestart) {
  auto fpp = startPiController();
  ControllerLink link;
  std::string error;
  ASSERT_TRUE(connectController(&link, fpp->httpAddress(), "", "", &error));
  EXPECT_EQ(link.fppMajorVersion, 9);
  const std::string scanConfig = scanConfigOf(link);
  ASSERT_FALSE(scanConfig.empty());
  ASSERT_TRUE(applyScanConfiguration(&link, scanConfig, {}, &error));
  restoreController(&link);
  EXPECT_EQ(fpp->restartCount(), 0);
}

// A session that put the scan configuration on the controller and then
// went without a restore, as a crashed process does. Its link as it was.
std::unique_ptr<ControllerLink> crashAfterScanConfiguration(
    sim::FppSimulator& fpp) {
  auto crashed = std::make_unique<ControllerLink>();
  std::string error;
  EXPECT_TRUE(
      connectController(crashed.get(), fpp.httpAddress(), "", "", &error))
      << error;
  EXPECT_TRUE(
      applyScanConfiguration(crashed.get(), scanConfigOf(*crashed), {}, &error))
      << error;
  return crashed;
}

// A scan that never got to put things back (killed, the host crashed): the
// next connect finds the record, puts the user's files back, checked, and
// reads the user's configuration, not the scan's.
TEST(RestoreRecord, TheNextConnectFinishesWhatACrashLeft) {
  auto fpp = startPiController();
  const auto stringsBefore = fpp->pixelStringsFile();
  const auto universesBefore = fpp->universeFile();
  std::string error;
  const std::vector<ControllerPort> userPorts =
      crashAfterScanConfiguration(*fpp)->ports;
  ASSERT_NE(fpp->pixelStringsFile(), stringsBefore);
  std::vector<std::string> progress;
  ControllerLink next;
  ASSERT_TRUE(
      connectController(&next,
                        fpp->httpAddress(),
                        "",
                        "",
                        &error,
                        [&](const std::string& m) { progress.push_back(m); }))
      << error;
  EXPECT_EQ(fpp->pixelStringsFile(), stringsBefore);
  EXPECT_EQ(fpp->universeFile(), universesBefore);
  ASSERT_EQ(progress.size(), 1u);
  EXPECT_EQ(progress[0],
            "Putting back the configuration an earlier scan left on " +
                fpp->httpAddress() + "\xE2\x80\xA6");
  // What the new session keeps is the user's own.
  EXPECT_EQ(canonicalDocument(next.savedPortStrings),
            canonicalDocument(*stringsBefore));
  ASSERT_EQ(next.ports.size(), userPorts.size());
  for (size_t i = 0; i < userPorts.size(); ++i)
    EXPECT_EQ(next.ports[i].colorOrder, userPorts[i].colorOrder);
  EXPECT_EQ(recordStateOf(*fpp), RecordState::kNone);
}

// Changed by the user after the crash: left alone, the record kept, and the
// user pointed to the command; which puts the old configuration back when
// asked.
TEST(RestoreRecord, AControllerChangedSinceIsLeftAlone) {
  auto fpp = startPiController();
  const auto stringsBefore = fpp->pixelStringsFile();
  std::string error;
  (void)crashAfterScanConfiguration(*fpp);
  const std::string users = readData("co-bbbStrings-f8b-12port.ui.json");
  fpp->setPixelStringsFile(users);
  fpp->clearRequests();
  ControllerLink next;
  EXPECT_FALSE(connectController(&next, fpp->httpAddress(), "", "", &error));
  EXPECT_NE(error.find("changed since"), std::string::npos) << error;
  EXPECT_NE(error.find("pixoria restore --controller " + fpp->httpAddress()),
            std::string::npos)
      << error;
  EXPECT_EQ(countChanges(*fpp), 0);
  EXPECT_EQ(fpp->pixelStringsFile(), users);

  bool found = false;
  std::vector<std::string> report;
  ASSERT_TRUE(restoreRecordedController(
      fpp->httpAddress(), "", "", 10, {}, &found, &report, &error))
      << error;
  EXPECT_TRUE(found);
  EXPECT_EQ(fpp->pixelStringsFile(), stringsBefore);
}

// The record says which controller it is for: another one answering at the
// address is not given its files.
TEST(RestoreRecord, AnotherControllerAtTheAddressIsNotTouched) {
  auto fpp = startPiController();
  std::string error;
  RestoreRecord record = crashAfterScanConfiguration(*fpp)->record;
  record.hostName = "FPP-Porch";
  ASSERT_TRUE(writeRestoreRecord(record, &error));
  fpp->clearRequests();
  ControllerLink next;
  EXPECT_FALSE(connectController(&next, fpp->httpAddress(), "", "", &error));
  EXPECT_NE(error.find("\"FPP-Porch\""), std::string::npos) << error;
  EXPECT_EQ(countChanges(*fpp), 0);
  bool found = false;
  std::vector<std::string> report;
  EXPECT_FALSE(restoreRecordedController(
      fpp->httpAddress(), "", "", 10, {}, &found, &report, &error));
  EXPECT_EQ(countChanges(*fpp), 0);

  // Nor is a record that would write anywhere but the files a scan
  // changes.
  record.hostName = next.hostName;
  record.files[0].path = kFppRestartPath;
  ASSERT_TRUE(writeRestoreRecord(record, &error));
  EXPECT_FALSE(connectController(&next, fpp->httpAddress(), "", "", &error));
  EXPECT_NE(error.find("names a file a scan never changes"), std::string::npos)
      << error;
  EXPECT_FALSE(restoreRecordedController(
      fpp->httpAddress(), "", "", 10, {}, &found, &report, &error));
  EXPECT_EQ(countChanges(*fpp), 0);
  EXPECT_EQ(fpp->restartCount(), 0);
  EXPECT_TRUE(removeRestoreRecord(kControllerDevice, record.key, &error));
}

// A controller that refuses every write while the scan puts things back: a
// failure said out loud, the record kept; once it takes writes again, the
// record puts everything back.
TEST(RestoreRecord, ARefusedRestoreKeepsTheRecordForLater) {
  auto fpp = startPiController();
  const auto stringsBefore = fpp->pixelStringsFile();
  const auto universesBefore = fpp->universeFile();
  ControllerLink link;
  std::string error;
  ASSERT_TRUE(connectController(&link, fpp->httpAddress(), "", "", &error));
  ASSERT_TRUE(applyScanConfiguration(&link, scanConfigOf(link), {}, &error));
  fpp->setRefusal("POST", "/api/channel/output/", 1);
  link.restoreSeconds = 1.5;
  EXPECT_FALSE(restoreController(&link, {}, &error));
  EXPECT_NE(error.find("could not put the configuration of " +
                       fpp->httpAddress() + " back"),
            std::string::npos)
      << error;
  EXPECT_NE(error.find("HTTP 503"), std::string::npos) << error;
  EXPECT_NE(
      error.find("\"pixoria restore --controller " + fpp->httpAddress() + "\""),
      std::string::npos)
      << error;
  EXPECT_EQ(recordStateOf(*fpp), RecordState::kOk);

  fpp->clearRefusals();
  bool found = false;
  std::vector<std::string> report;
  ASSERT_TRUE(restoreRecordedController(
      fpp->httpAddress(), "", "", 10, {}, &found, &report, &error))
      << error;
  EXPECT_EQ(fpp->pixelStringsFile(), stringsBefore);
  EXPECT_EQ(fpp->universeFile(), universesBefore);
  EXPECT_EQ(recordStateOf(*fpp), RecordState::kNone);
}

// A controller away for a moment while the scan puts things back (a
// restart, Wi-Fi gone): tried again until it answers.
TEST(RestoreRecord, TheRestoreWaitsForAControllerThatComesBack) {
  auto fpp = startPiController();
  const auto stringsBefore = fpp->pixelStringsFile();
  const auto universesBefore = fpp->universeFile();
  ControllerLink link;
  std::string error;
  ASSERT_TRUE(connectController(&link, fpp->httpAddress(), "", "", &error));
  ASSERT_TRUE(applyScanConfiguration(&link, scanConfigOf(link), {}, &error));
  fpp->setRefusal("POST", "/api/channel/output/", 1);
  fpp->setRefusal("GET", "/api/", 1);
  std::thread back([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    fpp->clearRefusals();
  });
  std::vector<std::string> progress;
  link.restoreSeconds = 30;
  const bool restored = restoreController(
      &link, [&](const std::string& m) { progress.push_back(m); }, &error);
  back.join();
  EXPECT_TRUE(restored) << error;
  EXPECT_EQ(fpp->pixelStringsFile(), stringsBefore);
  EXPECT_EQ(fpp->universeFile(), universesBefore);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress[0].rfind("The controller did not take its configuration "
                              "back",
                              0),
            0u)
      << progress[0];
}

// A write refused while preparing stops the scan with what the controller
// said, and what was changed goes back at once.
TEST(RestoreRecord, AWriteRefusedWhilePreparingIsPutBack) {
  auto fpp = startPiController();
  const auto stringsBefore = fpp->pixelStringsFile();
  const auto universesBefore = fpp->universeFile();
  ControllerLink link;
  std::string error;
  ASSERT_TRUE(connectController(&link, fpp->httpAddress(), "", "", &error));
  fpp->setRefusal("POST", kFppUniverseInputsPath, 1);
  EXPECT_FALSE(applyScanConfiguration(&link, scanConfigOf(link), {}, &error));
  EXPECT_EQ(error,
            "the controller refused the scan's universe-input configuration: "
            "it answered HTTP 503");
  EXPECT_EQ(fpp->pixelStringsFile(), stringsBefore);
  EXPECT_EQ(fpp->universeFile(), universesBefore);
  EXPECT_EQ(recordStateOf(*fpp), RecordState::kNone);
}

// The record is on disk before the first write reaches the controller, and
// without one nothing is written at all.
TEST(RestoreRecord, WrittenBeforeTheFirstChangeOrNothingChanges) {
  auto fpp = startPiController();
  ControllerLink link;
  std::string error;
  ASSERT_TRUE(connectController(&link, fpp->httpAddress(), "", "", &error));
  const std::string key = controllerRecordKey(fpp->httpAddress());
  fpp->setDelay("POST", kFppPixelStringsPath, 500);
  fpp->clearRequests();
  std::thread scan([&] {
    std::string scanError;
    EXPECT_TRUE(
        applyScanConfiguration(&link, scanConfigOf(link), {}, &scanError))
        << scanError;
  });
  for (int i = 0; i < 400 && fpp->requests().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  RestoreRecord record;
  EXPECT_EQ(readRestoreRecord(kControllerDevice, key, &record, &error),
            RecordState::kOk)
      << error;
  EXPECT_EQ(record.files.at(0).original, link.savedPortStrings);
  EXPECT_EQ(record.files.at(1).original, link.savedUniverseInputs);
  scan.join();
  ASSERT_TRUE(restoreController(&link, {}, &error)) << error;

  // A state folder that cannot be made (a file stands where it would be):
  // the controller is not touched.
  const std::filesystem::path blocked =
      std::filesystem::temp_directory_path() /
      ("pxo-blocked-" + std::to_string(std::rand()));
  std::ofstream(blocked) << "a file";
  {
    test::ScopedStateFolder state(blocked / "state");
    ASSERT_TRUE(connectController(&link, fpp->httpAddress(), "", "", &error));
    fpp->clearRequests();
    EXPECT_FALSE(applyScanConfiguration(&link, scanConfigOf(link), {}, &error));
    EXPECT_EQ(error.rfind("could not keep a copy of the controller's "
                          "configuration",
                          0),
              0u)
        << error;
    EXPECT_EQ(countChanges(*fpp), 0);
  }
  std::filesystem::remove(blocked);
}

// Each state of the player gets its own cause, and nothing is written.
TEST(ControllerIdle, EachPlayerStateSaysWhatIsWrong) {
  auto fpp = startPiController();
  ControllerLink link;
  std::string error;
  ASSERT_TRUE(connectController(&link, fpp->httpAddress(), "", "", &error));
  EXPECT_TRUE(checkControllerIdle(link, &error));
  const std::pair<const char*, std::string> states[] = {
      {"playing", kFppPlayingMessage},
      {"paused", kFppPlayingMessage},
      {"stopping gracefully", kFppPlayingMessage},
      {"stopping now", kFppPlayingMessage},
      {"stopped", kFppNotRunningMessage},
      {"updating", kFppUpdatingMessage},
      {"testing",
       "FPP's player is \"testing\" \xE2\x80\x94 scanning needs it idle; "
       "stop what it is doing and try again"},
  };
  for (const auto& [state, message] : states) {
    fpp->setStatusName(state);
    error.clear();
    EXPECT_FALSE(checkControllerIdle(link, &error)) << state;
    EXPECT_EQ(error, message) << state;
  }
  fpp->setStatusName("");  // no status answer (404)
  EXPECT_TRUE(checkControllerIdle(link, &error));
  EXPECT_EQ(countChanges(*fpp), 0);
}

TEST(FppMajorVersion, ReadsTheLeadingNumber) {
  EXPECT_EQ(fppMajorVersion("9.5.3"), 9);
  EXPECT_EQ(fppMajorVersion("8.5.1"), 8);
  EXPECT_EQ(fppMajorVersion("v10.0-beta"), 10);
  EXPECT_EQ(fppMajorVersion("master"), 0);
  EXPECT_EQ(fppMajorVersion(""), 0);
  EXPECT_EQ(fppMajorVersion("99999999999999"), 100000);
}

}  // namespace
}  // namespace pxo
