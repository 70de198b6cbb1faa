// A WLED controller as the scan drives it, against the rig's simulated
// one: what connect makes of it, the one change a scan makes (its state)
// recorded first and put back, recovered after a crash, and LED maps
// uploaded without overwriting one that is there.

#include "controller/wled_controller.h"

#include "sim/wled_simulator.h"

#include <filesystem>

#include "state_folder.h"
#include <gtest/gtest.h>

namespace pxo {
namespace {

class WledController : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = std::filesystem::temp_directory_path() /
             (std::string("pxo-wled-") +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder);
    state.emplace(folder);
  }
  void TearDown() override {
    state.reset();
    std::filesystem::remove_all(folder);
  }
  // A controller with a 50- and a 100-LED output.
  std::unique_ptr<sim::WledSimulator> startWled(sim::WledSimConfig config) {
    config.outputs = {{{0, 50, 0, 22, false, 0}, 1},
                      {{50, 100, 1, 22, false, 0}, 2}};
    auto wled = std::make_unique<sim::WledSimulator>(std::move(config));
    std::string error;
    EXPECT_TRUE(wled->start(&error)) << error;
    return wled;
  }
  bool recordKept(const std::string& host) {
    RestoreRecord record;
    std::string error;
    return readRestoreRecord(
               kControllerDevice, controllerRecordKey(host), &record, &error) !=
           RecordState::kNone;
  }
  std::filesystem::path folder;
  std::optional<test::ScopedStateFolder> state;
};

TEST_F(WledController, OutputsArePortsAndTheDimmedStateIsPutBack) {
  sim::WledSimConfig config;
  config.on = false;
  config.brightness = 40;
  auto wled = startWled(config);
  ControllerLink link;
  std::string error;
  ASSERT_TRUE(connectWled(&link, wled->httpAddress(), &error)) << error;
  ASSERT_EQ(link.ports.size(), 2u);
  EXPECT_EQ(link.ports[1].portNumber, 1);
  EXPECT_EQ(link.ports[1].pixelCount, 100);
  EXPECT_EQ(link.ports[1].startChannel, 150);
  EXPECT_EQ(link.ports[1].colorOrder, "RGB");

  ASSERT_TRUE(prepareWled(&link, &error)) << error;
  EXPECT_TRUE(wled->on());
  EXPECT_EQ(wled->brightness(), 255);
  EXPECT_TRUE(recordKept(wled->httpAddress()));  // before it was changed

  ASSERT_TRUE(restoreWled(&link, &error)) << error;
  EXPECT_FALSE(wled->on());
  EXPECT_EQ(wled->brightness(), 40);
  EXPECT_FALSE(recordKept(wled->httpAddress()));
  EXPECT_EQ(wled->configurationWrites(), 0);
}

TEST_F(WledController, FullBrightnessOrForcedIsLeftAlone) {
  for (const bool forced : {false, true}) {
    sim::WledSimConfig config;
    config.brightness = forced ? 30 : 255;
    config.forceMaxBrightness = forced;
    auto wled = startWled(config);
    ControllerLink link;
    std::string error;
    ASSERT_TRUE(connectWled(&link, wled->httpAddress(), &error)) << error;
    ASSERT_TRUE(prepareWled(&link, &error)) << error;
    EXPECT_FALSE(link.wledStateChanged);
    EXPECT_EQ(wled->brightness(), config.brightness);
    EXPECT_FALSE(recordKept(wled->httpAddress()));
  }
}

TEST_F(WledController, AStateLeftByACrashIsPutBackAtTheNextConnect) {
  sim::WledSimConfig config;
  config.brightness = 90;
  auto wled = startWled(config);
  {
    // The scan changed the state, then the process died.
    ControllerLink link;
    std::string error;
    ASSERT_TRUE(connectWled(&link, wled->httpAddress(), &error)) << error;
    ASSERT_TRUE(prepareWled(&link, &error)) << error;
  }
  ASSERT_EQ(wled->brightness(), 255);
  ControllerLink next;
  std::string error;
  std::vector<std::string> said;
  ASSERT_TRUE(connectWled(&next, wled->httpAddress(), &error, [&](auto& m) {
    said.push_back(m);
  })) << error;
  EXPECT_EQ(wled->brightness(), 90);
  EXPECT_EQ(next.wled.brightness, 90);  // read after it was put back
  EXPECT_FALSE(recordKept(wled->httpAddress()));
  ASSERT_FALSE(said.empty());

  // Or put back by `pixoria restore`.
  ControllerLink again;
  ASSERT_TRUE(connectWled(&again, wled->httpAddress(), &error)) << error;
  ASSERT_TRUE(prepareWled(&again, &error)) << error;
  bool found = false;
  std::vector<std::string> report;
  ASSERT_TRUE(restoreRecordedController(
      wled->httpAddress(), "", "", 5, {}, &found, &report, &error))
      << error;
  EXPECT_TRUE(found);
  EXPECT_EQ(wled->brightness(), 90);
  EXPECT_FALSE(recordKept(wled->httpAddress()));
}

TEST_F(WledController, RefusedWithoutChangingAnything) {
  sim::WledSimConfig off;
  off.realtimeEnabled = false;
  off.brightness = 60;
  auto wled = startWled(off);
  ControllerLink link;
  std::string error;
  EXPECT_FALSE(connectWled(&link, wled->httpAddress(), &error));
  EXPECT_NE(error.find("realtime input switched off"), std::string::npos)
      << error;

  // Data moved past the first output by a DMX start address of 301.
  sim::WledSimConfig moved;
  moved.dmxStartAddress = 301;
  moved.brightness = 60;
  auto shifted = startWled(moved);
  ASSERT_TRUE(connectWled(&link, shifted->httpAddress(), &error)) << error;
  EXPECT_EQ(wledDdpShift(link.wled), 100);
  EXPECT_FALSE(prepareWled(&link, &error));
  EXPECT_NE(error.find("DMX start address"), std::string::npos) << error;
  EXPECT_EQ(shifted->brightness(), 60);
  EXPECT_EQ(shifted->configurationWrites(), 0);
}

TEST_F(WledController, AnLedMapThereIsNeverOverwritten) {
  sim::WledSimConfig config;
  config.files["/ledmap.json"] = R"({"map":[1,0]})";
  auto wled = startWled(config);
  std::string storedAs, error;
  ASSERT_TRUE(uploadWledLedMap(
      wled->httpAddress(), R"({"map":[0,1,2]})", &storedAs, &error))
      << error;
  EXPECT_EQ(storedAs, "/ledmap1.json");
  EXPECT_EQ(wled->file("/ledmap.json"), R"({"map":[1,0]})");
  EXPECT_EQ(wled->file("/ledmap1.json"), R"({"map":[0,1,2]})");
  for (int n = 2; n < kWledLedMapSlots; ++n)
    ASSERT_TRUE(uploadWledLedMap(
        wled->httpAddress(), R"({"map":[0]})", &storedAs, &error))
        << error;
  EXPECT_EQ(storedAs, "/ledmap9.json");
  EXPECT_FALSE(uploadWledLedMap(
      wled->httpAddress(), R"({"map":[0]})", &storedAs, &error));
  EXPECT_NE(error.find("ten LED maps"), std::string::npos) << error;
  EXPECT_EQ(wled->file("/ledmap.json"), R"({"map":[1,0]})");
}

}  // namespace
}  // namespace pxo
