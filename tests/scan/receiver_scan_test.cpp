// Whole scans of props on controllers that are driven as the show drives
// them, not reconfigured: an E1.31 receiver and a DDP receiver, each on
// the virtual rig with the defaults a user has.

#include "controller/state_folder.h"
#include "json/json.h"
#include "output/xmodel_checker.h"
#include "scan/rig_test_folder.h"
#include "scan/session.h"

#include "sim/rig.h"
#include "sim/rig_scan.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <optional>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace pxo {
namespace {

struct ReceiverScan {
  bool ok = false;
  std::string error;
  sim::DecodeScore score;
  std::string model;
  bool darkAfterwards = false;  // every LED off once the scan ended
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every LED dark within a second (the last packets are on their way).
bool goesDark(const sim::LedSource& leds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  for (;;) {
    bool dark = true;
    for (const auto& [port, colors] : leds.allPortLeds())
      for (const sim::LedColor& c : colors) dark = dark && !c.lit();
    if (dark) return true;
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Scans the rig's prop through `kind` with `receiver` as the user gives it.
ReceiverScan scanThrough(sim::SimulatedRig& rig,
                         ControllerKind kind,
                         const PlainReceiver& receiver,
                         const sim::LedSource& leds,
                         const std::string& dataDir) {
  ReceiverScan outcome;
  auto owned = rig.makeCamera(0);
  sim::VirtualCamera* camera = owned.get();
  auto session = createScanSession(std::move(owned), "", dataDir);
  if (!connectReceiver(*session, kind, receiver, &outcome.error))
    return outcome;
  std::string modelPath;
  if (prepareScan(*session, &outcome.error))
    runScan(*session, &modelPath, "Receiver prop", &outcome.error);
  if (!modelPath.empty()) {
    outcome.ok = true;
    outcome.score = sim::scoreLastRun(rig, 0, *camera, *session);
    outcome.model = readFile(modelPath);
    std::printf("[ score    ] %s\n", outcome.score.summary().c_str());
  }
  EXPECT_TRUE(teardownScan(*session));
  outcome.darkAfterwards = goesDark(leds);
  return outcome;
}

sim::SceneConfig sceneFile(const std::string& name) {
  sim::SceneConfig scene;
  std::string error;
  EXPECT_TRUE(sim::loadSceneFile(
      std::string(PXO_SOURCE_DIR) + "/sim/scenes/" + name, &scene, &error))
      << error;
  return scene;
}

class ReceiverRigScan : public test::RigTestFolder {
 protected:
  ReceiverRigScan() : RigTestFolder("pxo-receiver-") {}
  void SetUp() override {
    if (sim::rigTooSlowForRealTime())
      GTEST_SKIP() << "real-time rig under ThreadSanitizer";
    RigTestFolder::SetUp();
  }
  // The rig's prop on an E1.31 receiver laid out as `layout`, scanned with
  // the receiver's settings; nothing may be lit outside its string.
  void expectGoodOnE131(sim::SceneConfig scene,
                        const E131Layout& layout,
                        std::vector<uint16_t>* universesSeen = nullptr) {
    sim::SimulatedRig rig(std::move(scene));
    rig.useE131Receiver(layout);
    std::string error;
    ASSERT_TRUE(rig.start(&error)) << error;
    const ReceiverScan o = scanThrough(rig,
                                       ControllerKind::kE131,
                                       rig.receiverSettings(),
                                       *rig.e131Receiver(),
                                       dataDir.string());
    expectGood(o);
    EXPECT_TRUE(rig.e131Receiver()->litOutsideTheString().empty());
    if (universesSeen) *universesSeen = rig.e131Receiver()->universesSeen();
  }
  void expectGood(const ReceiverScan& o) {
    ASSERT_TRUE(o.ok) << o.error;
    EXPECT_GE(o.score.correctFraction(), 0.99) << o.score.summary();
    EXPECT_EQ(o.score.wrong, 0) << o.score.summary();
    const auto problems = testing::checkXmodel(o.model);
    EXPECT_TRUE(problems.empty()) << problems.front();
    EXPECT_TRUE(o.darkAfterwards) << "LEDs left lit after the scan";
  }
};

TEST_F(ReceiverRigScan, E131DefaultScene) {
  expectGoodOnE131(sim::defaultScene(), E131Layout{});
}

// 2,000 GRB pixels from channel 4 of universe 3: twelve universes, the
// pixels crossing each universe's end.
TEST_F(ReceiverRigScan, E131TwoThousandPixelsOverTwelveUniverses) {
  std::vector<uint16_t> seen;
  expectGoodOnE131(sceneFile("matrix-2000.json"), E131Layout{3, 510, 4}, &seen);
  EXPECT_EQ(seen,
            (std::vector<uint16_t>{3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
}

// DDP straight to the pixels of one port of a controller that takes its
// show from the network and is left as it is: the channels from that
// port's start, nothing before them.
TEST_F(ReceiverRigScan, DdpToOnePortOfAControllerLeftAsItIs) {
  sim::SceneConfig scene = sim::defaultScene();  // port 1 behind port 0
  sim::SimulatedRig rig(scene);
  std::string error;
  ASSERT_TRUE(rig.start(&error)) << error;
  // A controller that takes the show's channels from the network.
  rig.controller().setUniverseFile(
      R"({"channelInputs":[{"type":"universes","enabled":1,"timeout":1000,)"
      R"("startChannel":1,"channelCount":-1,"universes":[]}]})");
  const auto configBefore = rig.controller().pixelStringsFile();
  const auto universesBefore = rig.controller().universeFile();
  PlainReceiver receiver;
  receiver.host = rig.controllerAddress();
  receiver.startChannel = 1;
  for (const sim::ScenePort& p : scene.ports) {
    if (p.selected) {
      receiver.pixels = p.pixels;
      receiver.colorOrder = p.colorOrder;
      break;
    }
    receiver.startChannel +=
        p.pixels * static_cast<int32_t>(p.colorOrder.size());
  }
  // The unselected port's LEDs would show any channel sent before the range.
  std::atomic<bool> stop{false};
  std::atomic<bool> litBefore{false};
  std::thread watch([&] {
    while (!stop) {
      for (const auto& [port, colors] : rig.controller().allPortLeds())
        if (port != 1)
          for (const sim::LedColor& c : colors)
            if (c.lit()) litBefore = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  const ReceiverScan o = scanThrough(
      rig, ControllerKind::kDdp, receiver, rig.controller(), dataDir.string());
  stop = true;
  watch.join();
  expectGood(o);
  EXPECT_FALSE(litBefore) << "a channel before the range was lit";
  EXPECT_EQ(rig.controller().pixelStringsFile(), configBefore);
  EXPECT_EQ(rig.controller().universeFile(), universesBefore);
}

// A WLED controller dimmed to half, taking DDP three LEDs on (DMX start
// address 10): switched to full brightness for the scan and put back, its
// configuration never written, and its own map of the prop written with
// each LED's index on the controller.
TEST_F(ReceiverRigScan, WledDimmedAndMovedIsScannedAndPutBack) {
  test::ScopedStateFolder state(dataDir / "state");
  sim::SimulatedRig rig(sim::defaultScene());  // port 1 behind port 0
  sim::WledSimConfig config;
  config.brightness = 128;
  config.dmxStartAddress = 10;
  rig.useWledController(config);
  std::string error;
  ASSERT_TRUE(rig.start(&error)) << error;
  sim::WledSimulator& wled = *rig.wledController();

  auto owned = rig.makeCamera(0);
  sim::VirtualCamera* camera = owned.get();
  auto session = createScanSession(std::move(owned), "", dataDir.string());
  ASSERT_TRUE(connectWledController(*session, rig.controllerAddress(), &error))
      << error;
  ASSERT_EQ(session->controller.ports.size(), 2u);
  session->controller.ports[0].selected = false;  // the scene's port 0
  std::string modelPath;
  ASSERT_TRUE(prepareScan(*session, &error)) << error;
  EXPECT_EQ(wled.brightness(), 255);
  runScan(*session, &modelPath, "Bush", &error);
  ASSERT_FALSE(modelPath.empty()) << error;
  const sim::DecodeScore score = sim::scoreLastRun(rig, 0, *camera, *session);
  EXPECT_GE(score.correctFraction(), 0.99) << score.summary();
  EXPECT_EQ(score.wrong, 0) << score.summary();

  const std::string mapPath =
      writeControllerLedMap(*session, dataDir.string(), &error);
  ASSERT_FALSE(mapPath.empty()) << error;
  EXPECT_TRUE(teardownScan(*session, &error)) << error;
  EXPECT_TRUE(wled.on());
  EXPECT_EQ(wled.brightness(), 128);
  EXPECT_EQ(wled.configurationWrites(), 0);

  // The map: width × height entries, each of the port's LEDs (50 … 149 on
  // the controller) exactly once, -1 elsewhere.
  JsonValue map;
  ASSERT_TRUE(parseJsonDocument(readFile(mapPath), &map));
  const JsonValue* cells = findMember(map, "map");
  ASSERT_TRUE(cells && cells->isArray());
  EXPECT_EQ(static_cast<int32_t>(cells->array.size()),
            getInt(map, "width", 0) * getInt(map, "height", 0));
  std::vector<int32_t> seen;
  for (const JsonValue& cell : cells->array)
    if (cell.number >= 0) seen.push_back(static_cast<int32_t>(cell.number));
  std::sort(seen.begin(), seen.end());
  std::vector<int32_t> expected(100);
  std::iota(expected.begin(), expected.end(), 50);
  EXPECT_EQ(seen, expected);
}

// What the user says is checked before anything is sent.
TEST(PlainReceiverSettings, RefusedBeforeAnythingIsSent) {
  PlainReceiver r;
  r.host = "127.0.0.1";
  r.pixels = 100;
  std::string error;
  EXPECT_TRUE(checkPlainReceiver(ControllerKind::kE131, r, &error)) << error;
  EXPECT_TRUE(checkPlainReceiver(ControllerKind::kDdp, r, &error)) << error;

  auto refused = [&](PlainReceiver bad, ControllerKind kind) {
    std::string why;
    const bool ok = checkPlainReceiver(kind, bad, &why);
    EXPECT_FALSE(ok);
    return why;
  };
  PlainReceiver bad = r;
  bad.pixels = 0;
  EXPECT_NE(refused(bad, ControllerKind::kDdp).find("pixel count"),
            std::string::npos);
  bad = r;
  bad.colorOrder = "RGG";
  EXPECT_NE(refused(bad, ControllerKind::kE131).find("colour order"),
            std::string::npos);
  bad = r;
  bad.startChannel = 511;  // past a 510-channel universe
  EXPECT_NE(refused(bad, ControllerKind::kE131).find("start channel"),
            std::string::npos);
  bad = r;
  bad.universeSize = 513;
  EXPECT_NE(refused(bad, ControllerKind::kE131).find("universe size"),
            std::string::npos);
  bad = r;
  bad.universe = 63999;  // the last: 170 pixels fill it, 171 do not
  bad.pixels = 170;
  EXPECT_TRUE(checkPlainReceiver(ControllerKind::kE131, bad, &error));
  bad.pixels = 171;
  EXPECT_NE(refused(bad, ControllerKind::kE131).find("63999"),
            std::string::npos);
  bad = r;
  bad.host.clear();
  EXPECT_FALSE(refused(bad, ControllerKind::kDdp).empty());
  EXPECT_TRUE(isColorOrder("WRGB"));
  EXPECT_FALSE(isColorOrder("RGBR"));
  EXPECT_FALSE(isColorOrder("rgb"));
}

}  // namespace
}  // namespace pxo
