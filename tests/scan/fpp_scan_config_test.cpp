// The scan's controller round trip over real sockets against the simulated
// controller: connect, lay the selected ports out, post the scan
// configuration, light the LEDs over DDP, restore.

#include "controller/fpp_client.h"
#include "controller/fpp_reconfigure.h"
#include "controller/http_client.h"
#include "json/json.h"
#include "scan/ddp_sender.h"
#include "scan/scan_layout.h"

#include "sim/fpp_simulator.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include <gtest/gtest.h>

namespace pxo {
namespace {

using namespace std::chrono_literals;

// What the controller holds, as values: a GET answer without its "status",
// or nothing for a missing file.
std::string storedContent(const std::string& address,
                          const char* path,
                          bool dropStatus) {
  HttpResponse response;
  httpRequest(&response, address, "GET", path, "", "", "", "");
  if (!response.ok || response.status != 200) return "<missing>";
  JsonValue doc;
  if (!parseJsonDocument(response.body, &doc)) return "<invalid>";
  if (dropStatus) doc.object.erase("status");
  return toJsonText(doc);
}

// The colour byte the scan sends for component c of LED i.
uint8_t sentValue(int32_t led, int component) {
  return static_cast<uint8_t>(30 + (led * 7 + component * 61) % 200);
}

// Where, along a port's wire, the user's configuration has real pixels:
// each virtual string's head nulls, pixels, end nulls in turn.
std::vector<size_t> realPixelIndices(const std::string& document,
                                     int32_t portNumber) {
  std::vector<size_t> real;
  JsonValue doc;
  if (!parseJsonDocument(document, &doc)) return real;
  const JsonValue& outputs =
      doc.object.at("channelOutputs").array[0].object.at("outputs");
  for (const JsonValue& output : outputs.array) {
    if (getInt(output, "portNumber", -1) != portNumber) continue;
    size_t at = 0;
    for (const JsonValue& s : output.object.at("virtualStrings").array) {
      at += static_cast<size_t>(getInt(s, "nullNodes", 0));
      for (int32_t k = 0; k < getInt(s, "pixelCount", 0); ++k)
        real.push_back(at++);
      at += static_cast<size_t>(getInt(s, "endNulls", 0));
    }
  }
  return real;
}

struct Case {
  const char* config;
  std::vector<int32_t> selected;
  std::vector<int32_t> scanCounts;     // per selected port; 0 = all pixels
  const char* pixelStrings = nullptr;  // replaces the config's document
};

void runRoundTrip(const Case& c) {
  sim::FppSimConfig config;
  std::string error;
  ASSERT_TRUE(sim::loadFppSimConfigFile(c.config, &config, &error)) << error;
  if (c.pixelStrings) {
    ASSERT_TRUE(parseJsonDocument(c.pixelStrings, &config.pixelStrings));
    config.stripOrders.clear();
  }
  sim::FppSimulator fpp(std::move(config));
  ASSERT_TRUE(fpp.start(&error)) << error;
  const std::string address = fpp.httpAddress();

  ControllerLink link;
  ASSERT_TRUE(connectController(&link, address, "", "", &error)) << error;
  const char* stringsPath = pixelStringsPath(link.usesBBB);
  const std::string stringsBefore = storedContent(address, stringsPath, true);
  const std::string universesBefore =
      storedContent(address, kFppUniverseFilePath, false);
  auto fileContent = [](const std::optional<std::string>& text) {
    JsonValue doc;
    if (!text) return std::string("<missing>");
    return parseJsonDocument(*text, &doc) ? toJsonText(doc) : "<invalid>";
  };
  const std::string fileBefore = fileContent(fpp.pixelStringsFile());

  for (size_t i = 0; i < c.selected.size(); ++i) {
    auto port = std::find_if(
        link.ports.begin(), link.ports.end(), [&](const ControllerPort& p) {
          return p.portNumber == c.selected[i];
        });
    ASSERT_NE(port, link.ports.end());
    port->selected = true;
    if (c.scanCounts[i] > 0) port->scanPixelCount = c.scanCounts[i];
  }
  ScanLayout layout = computeScanLayout(link.ports);
  ASSERT_GT(layout.ledCount, 0);

  std::string scanConfig;
  ASSERT_TRUE(buildScanPortConfig(
      link.savedPortStrings, layout.portSpecs, &scanConfig));
  ASSERT_TRUE(applyScanConfiguration(&link, scanConfig, {}, &error)) << error;
  ASSERT_TRUE(fpp.universeInputEnabled());

  // One frame lighting every scanned LED in colours of its own; positions
  // that are null pixels in the user's configuration stay dark.
  int32_t channelCount = 0;
  for (const PortGroup& g : layout.groups)
    channelCount = std::max(channelCount,
                            g.startChannel + g.pixelCount * g.channelsPerPixel);
  std::vector<uint8_t> frame(static_cast<size_t>(channelCount), 0);
  for (int32_t led = 0; led < layout.ledCount; ++led)
    for (int c3 = 0; c3 < 3; ++c3)
      if (layout.nodeOfLed[led] > 0)
        frame[layout.channelOffsets[led] + c3] = sentValue(led, c3);
  DdpSenderPtr sender(openDdpSender(link.host.c_str()));
  ASSERT_TRUE(sender);
  int64_t packets = (channelCount + kDdpMaxPayload - 1) / kDdpMaxPayload;
  ASSERT_EQ(sendDdpFrame(sender.get(), frame, 0), 0);
  for (int i = 0; i < 200 && fpp.ddpPacketsApplied() < packets; ++i)
    std::this_thread::sleep_for(5ms);
  ASSERT_EQ(fpp.ddpPacketsApplied(), packets);

  // Exactly the scanned pixels light, each in the colour the strip makes of
  // the bytes it was sent; every other LED stays dark.
  int32_t led = 0;
  std::vector<int32_t> scanned;
  for (const ScanPortSpec& portSpec : layout.portSpecs)
    scanned.push_back(portSpec.portNumber);
  for (const ControllerPort& port : link.ports) {
    std::vector<sim::LedColor> leds = fpp.portLeds(port.portNumber);
    auto portSpec = std::find_if(
        layout.portSpecs.begin(),
        layout.portSpecs.end(),
        [&](const ScanPortSpec& s) { return s.portNumber == port.portNumber; });
    if (portSpec == layout.portSpecs.end()) {
      for (size_t j = 0; j < leds.size(); ++j)
        EXPECT_FALSE(leds[j].lit()) << "unscanned port " << port.portNumber
                                    << " LED " << j << " lights";
      continue;
    }
    ASSERT_EQ(leds.size(), size_t(portSpec->nullNodes + portSpec->pixelCount))
        << "port " << port.portNumber;
    const std::string strip = fpp.stripOrder(port.portNumber);
    // The scan keeps the port's own colour order on the wire.
    const std::string wire = port.colorOrder;
    const double brightness = 40 / 100.0;  // every fixture port is above 40
    for (int32_t j = 0; j < portSpec->nullNodes; ++j)
      EXPECT_FALSE(leds[j].lit());
    for (int32_t j = 0; j < portSpec->pixelCount; ++j, ++led) {
      sim::LedColor expected;
      const bool real = layout.nodeOfLed[led] > 0;
      for (size_t k = 0; k < wire.size() && k < strip.size(); ++k) {
        const size_t colour = std::string("RGB").find(wire[k]);
        uint8_t v = colour != std::string::npos && real
                        ? sentValue(led, static_cast<int>(colour))
                        : 0;
        auto shown = static_cast<uint8_t>(std::lround(v * brightness));
        switch (strip[k]) {
          case 'R':
            expected.r = shown;
            break;
          case 'G':
            expected.g = shown;
            break;
          case 'B':
            expected.b = shown;
            break;
          case 'W':
            expected.w = shown;
            break;
        }
      }
      EXPECT_EQ(leds[portSpec->nullNodes + j], expected)
          << "port " << port.portNumber << " pixel " << j;
    }
    // The lit pixels are the user's real pixels, in wiring order: the n-th
    // lit one is node n of the port.
    const std::vector<size_t> real =
        realPixelIndices(link.savedPortStrings, port.portNumber);
    std::vector<size_t> lit;
    for (size_t j = 0; j < leds.size(); ++j)
      if (leds[j].lit()) lit.push_back(j);
    ASSERT_LE(lit.size(), real.size()) << "port " << port.portNumber;
    EXPECT_EQ(lit, std::vector<size_t>(real.begin(), real.begin() + lit.size()))
        << "port " << port.portNumber;
  }

  // The controller ends holding what it started with.
  closeDdpSender(sender.release());
  restoreController(&link);
  EXPECT_TRUE(link.savedPortStrings.empty());
  EXPECT_EQ(storedContent(address, stringsPath, true), stringsBefore);
  EXPECT_EQ(storedContent(address, kFppUniverseFilePath, false),
            universesBefore);
  EXPECT_EQ(fileContent(fpp.pixelStringsFile()), fileBefore);
}

TEST(ScanConfigRoundTrip, PiBothPorts) {
  runRoundTrip({"fpp-pi.json", {1, 0}, {0, 0}});
}

TEST(ScanConfigRoundTrip, PiSelectionBelowAnUnselectedSecondString) {
  // Port 1's second string ends at 930, beyond 3 × its 150 pixels past its
  // first start; the scan block must start after it.
  runRoundTrip({"fpp-pi.json", {0}, {0}});
}

TEST(ScanConfigRoundTrip, PiPartOfAPort) {
  runRoundTrip({"fpp-pi.json", {1}, {40}});
}

TEST(ScanConfigRoundTrip, BeagleBoneRgbwAndGroupedPorts) {
  // Port 8 (unselected) has a second string at 2330 ... 2390.
  runRoundTrip({"fpp-bbb.json", {4, 0, 2}, {0, 0, 0}});
}

TEST(ScanConfigRoundTrip, BeagleBoneEveryPixelPort) {
  runRoundTrip(
      {"fpp-bbb.json", {0, 1, 2, 3, 4, 5, 7, 8}, {0, 0, 0, 0, 0, 0, 0, 0}});
}

// A port of two strings with null pixels between them: the first ends in
// two, the second starts with three. The scan string spans the chain; the
// real pixels of the second string light where the user's configuration
// has them, and the model's nodes skip the nulls.
constexpr char kNullsInsideAPort[] = R"({"channelOutputs":[{
    "type":"RPIWS281X","subType":"PiHat","enabled":1,"startChannel":1,
    "outputCount":2,"outputs":[
      {"portNumber":0,"virtualStrings":[
        {"description":"Eaves","startChannel":0,"pixelCount":10,
         "nullNodes":1,"endNulls":2,"colorOrder":"RGB","brightness":50},
        {"description":"Gable","startChannel":30,"pixelCount":5,
         "nullNodes":3,"endNulls":1,"colorOrder":"RGB","brightness":50}]},
      {"portNumber":1,"virtualStrings":[
        {"description":"Door","startChannel":45,"pixelCount":8,
         "colorOrder":"RGB","brightness":50}]}]}]})";

TEST(ScanConfigRoundTrip, NullPixelsBetweenTheStringsOfAPort) {
  runRoundTrip({"fpp-pi.json", {0, 1}, {0, 0}, kNullsInsideAPort});
}

TEST(ScanConfigRoundTrip, PartOfAPortWithInnerNulls) {
  runRoundTrip({"fpp-pi.json", {0}, {12}, kNullsInsideAPort});
}

TEST(ComputeScanLayout, NullPixelsInsideAPortAreScannedButAreNoNodes) {
  std::vector<ControllerPort> ports(2);
  ports[0] = {0, 15, 0, "RGB", 3, 1, true, 15, 45, {10, 11, 12, 13, 14}};
  ports[1] = {1, 8, 60, "RGB", 3, 0, true, 8, 84, {}};
  ScanLayout layout = computeScanLayout(ports);
  ASSERT_EQ(layout.groups.size(), 2u);
  EXPECT_EQ(layout.groups[0].pixelCount, 20);  // 15 pixels and 5 nulls
  EXPECT_EQ(layout.portSpecs[0].pixelCount, 20);
  EXPECT_EQ(layout.portSpecs[0].nullNodes, 1);
  EXPECT_EQ(layout.ledCount, 28);
  EXPECT_EQ(layout.nodeCount, 23);
  std::vector<int32_t> expected;
  for (int32_t n = 1; n <= 10; ++n) expected.push_back(n);
  expected.insert(expected.end(), 5, 0);
  for (int32_t n = 11; n <= 23; ++n) expected.push_back(n);
  EXPECT_EQ(layout.nodeOfLed, expected);
  // Scanning the first 11 pixels drives the nulls before the 11th.
  ports[0].scanPixelCount = 11;
  ports[1].selected = false;
  layout = computeScanLayout(ports);
  EXPECT_EQ(layout.ledCount, 16);
  EXPECT_EQ(layout.nodeOfLed.back(), 11);
}

TEST(ComputeScanLayout, PacksSelectedPortsAfterTheOthers) {
  std::vector<ControllerPort> ports(4);
  ports[0] = {0, 500, 0, "RGB", 3, 0, false, 500, 1500, {}};
  ports[1] = {1, 50, 0, "RGB", 3, 0, true, 50, 150, {}};
  ports[2] = {2, 100, 0, "RGB", 3, 1, true, 0, 300, {}};
  ports[3] = {3, 10, 0, "RGBW", 4, 0, true, 10, 40, {}};
  ScanLayout layout = computeScanLayout(ports);
  ASSERT_EQ(layout.groups.size(), 3u);
  EXPECT_EQ(layout.groups[0].startChannel, 1500);
  EXPECT_EQ(layout.groups[1].startChannel, 1650);
  EXPECT_EQ(layout.groups[1].pixelCount, 100);  // scanPixelCount 0: all
  EXPECT_EQ(layout.groups[2].startChannel, 1950);
  EXPECT_EQ(layout.groups[2].channelsPerPixel, 4);
  EXPECT_EQ(layout.ledCount, 160);
  EXPECT_EQ(layout.portSpecs[1].nullNodes, 1);
  EXPECT_EQ(layout.channelOffsets[150], 1950);
  EXPECT_EQ(layout.channelOffsets[151], 1954);

  // An unselected port whose later string ends beyond its first.
  ports[0].channelEnd = 2000;
  EXPECT_EQ(computeScanLayout(ports).groups[0].startChannel, 2000);
  // Channels the controller's other outputs send are kept clear too.
  EXPECT_EQ(computeScanLayout(ports, 2600).groups[0].startChannel, 2600);
  EXPECT_EQ(computeScanLayout(ports, 100).groups[0].startChannel, 2000);
  // Nothing unselected: the block starts at channel 1.
  ports[0].selected = true;
  EXPECT_EQ(computeScanLayout(ports).groups[0].startChannel, 1);
  for (auto& p : ports) p.selected = false;
  EXPECT_EQ(computeScanLayout(ports).ledCount, 0);
}

}  // namespace
}  // namespace pxo
