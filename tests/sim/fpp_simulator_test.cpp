// The simulated controller must behave like the real one where the scan
// relies on it, or the end-to-end tests prove nothing.

#include "sim/fpp_simulator.h"

#include "controller/http_client.h"
#include "json/json.h"
#include "platform/socket.h"

#include "sim/fpp_quirks.h"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace pxo::sim {
namespace {

using namespace std::chrono_literals;

HttpResponse call(const FppSimulator& fpp,
                  const char* method,
                  const std::string& path,
                  const std::string& body = "") {
  HttpResponse response;
  httpRequest(&response, fpp.httpAddress(), method, path, body, "", "", "");
  return response;
}

// One port of 4 RGB pixels wired GRB, behind a null pixel, grouped and
// reversed as the case needs.
FppSimConfig onePortConfig(const std::string& stringJson,
                           int timeoutMs = 1000) {
  FppSimConfig config;
  std::string error;
  std::string text = R"({"systemInfo":{"Platform":"Raspberry Pi","Version":"9"},
    "pixelStrings":{"channelOutputs":[{"type":"RPIWS281X","enabled":1,
      "outputs":[{"portNumber":0,"virtualStrings":[)" +
                     stringJson + R"(]}]}]},
    "universes":{"channelInputs":[{"type":"universes","enabled":1,"timeout":)" +
                     std::to_string(timeoutMs) + R"(,"universes":[]}]},
    "stripOrders":{"0":"GRB"}})";
  EXPECT_TRUE(loadFppSimConfig(text, &config, &error)) << error;
  return config;
}

class DdpInput : public ::testing::Test {
 protected:
  void start(FppSimConfig config) {
    fpp = std::make_unique<FppSimulator>(std::move(config));
    std::string error;
    ASSERT_TRUE(fpp->start(&error)) << error;
    std::vector<platform::ResolvedAddress> to;
    ASSERT_TRUE(platform::resolveAddress(fpp->address(),
                                         "4048",
                                         platform::AddressFamily::kIPv4,
                                         platform::SocketType::kDatagram,
                                         &to));
    target = to.front().address;
    socket = platform::UdpSocket::open(to.front());
  }
  // Sends one DDP packet with the given header fields.
  void send(uint8_t flags,
            uint8_t sequence,
            uint8_t id,
            uint32_t offset,
            std::vector<uint8_t> data,
            size_t announced = SIZE_MAX) {
    if (announced == SIZE_MAX) announced = data.size();
    std::vector<uint8_t> packet = {flags,
                                   sequence,
                                   0,
                                   id,
                                   uint8_t(offset >> 24),
                                   uint8_t(offset >> 16),
                                   uint8_t(offset >> 8),
                                   uint8_t(offset),
                                   uint8_t(announced >> 8),
                                   uint8_t(announced)};
    packet.insert(packet.end(), data.begin(), data.end());
    int64_t before = fpp->ddpPacketsApplied() + fpp->ddpPacketsIgnored();
    ASSERT_TRUE(socket.sendTo(target, packet.data(), packet.size()));
    for (int i = 0; i < 400; ++i) {
      if (fpp->ddpPacketsApplied() + fpp->ddpPacketsIgnored() > before) return;
      std::this_thread::sleep_for(5ms);
    }
    FAIL() << "the simulator never saw the packet";
  }
  std::unique_ptr<FppSimulator> fpp;
  platform::SocketAddress target;
  platform::UdpSocket socket;
};

TEST_F(DdpInput, ChannelsBecomeLedColoursThroughTheConfiguration) {
  start(onePortConfig(R"({"startChannel":10,"pixelCount":4,"colorOrder":"RGB",
      "nullNodes":1,"brightness":50,"gamma":"1.0","groupCount":2,"reverse":1})"));
  // Two groups of two pixels: channels 10-12 and 13-15; reversed.
  send(0x41, 1, 1, 10, {100, 20, 40, 200, 0, 60});
  std::vector<LedColor> leds = fpp->portLeds(0);
  ASSERT_EQ(leds.size(), 5u);
  EXPECT_FALSE(leds[0].lit()) << "the null pixel lights";
  // The strip is GRB: the first byte sent (red data) shows as green.
  LedColor second{0, 100, 30, 0}, first{10, 50, 20, 0};
  EXPECT_EQ(leds[1], second);
  EXPECT_EQ(leds[2], second);
  EXPECT_EQ(leds[3], first);
  EXPECT_EQ(leds[4], first);
}

TEST_F(DdpInput, GammaAppliesAfterBrightness) {
  start(onePortConfig(R"({"startChannel":0,"pixelCount":1,"colorOrder":"GRB",
      "brightness":100,"gamma":"2.0"})"));
  send(0x41, 1, 1, 0, {255, 128, 0});
  // Wire order GRB matches the strip: data shows as sent, through gamma 2.
  EXPECT_EQ(fpp->portLeds(0)[0], (LedColor{255, 64, 0, 0}));
}

TEST_F(DdpInput, OnlyPushedValidPacketsShow) {
  start(
      onePortConfig(R"({"startChannel":0,"pixelCount":2,"colorOrder":"GRB"})"));
  send(0x40, 1, 1, 0, {9, 9, 9});  // no push yet
  EXPECT_FALSE(fpp->portLeds(0)[0].lit());
  send(0x41, 2, 1, 3, {7, 7, 7});  // the push shows both packets
  EXPECT_TRUE(fpp->portLeds(0)[0].lit());
  EXPECT_TRUE(fpp->portLeds(0)[1].lit());
  int64_t applied = fpp->ddpPacketsApplied();
  send(0x41, 0, 1, 0, {1, 1, 1});                             // sequence 0
  send(0x41, 3, 2, 0, {1, 1, 1});                             // another device
  send(0x41, 4, 1, FppSimulator::kChannelCount - 1, {1, 1});  // past the end
  send(0x41, 5, 1, 0, {1}, 3);  // announces more than arrived
  EXPECT_EQ(fpp->ddpPacketsApplied(), applied);
  EXPECT_EQ(fpp->portLeds(0)[0], (LedColor{9, 9, 9, 0}));
}

TEST_F(DdpInput, NetworkDataNeedsUniverseInputAndExpires) {
  start(onePortConfig(R"({"startChannel":0,"pixelCount":1,"colorOrder":"GRB"})",
                      200));
  send(0x41, 1, 1, 0, {50, 50, 50});
  EXPECT_TRUE(fpp->portLeds(0)[0].lit());
  std::this_thread::sleep_for(350ms);
  EXPECT_FALSE(fpp->portLeds(0)[0].lit()) << "data outlived its timeout";

  ASSERT_EQ(call(*fpp, "DELETE", "/api/configfile/ci-universes.json").status,
            200);
  EXPECT_FALSE(fpp->universeInputEnabled());
  int64_t ignored = fpp->ddpPacketsIgnored();
  send(0x41, 2, 1, 0, {50, 50, 50});
  EXPECT_EQ(fpp->ddpPacketsIgnored(), ignored + 1);
  EXPECT_FALSE(fpp->portLeds(0)[0].lit());
}

TEST(FppSimulatorApi, AnswersAsTheControllerDoes) {
  FppSimulator fpp(
      onePortConfig(R"({"description":"a/b B\u00e4ume","pixelCount":1})"));
  std::string error;
  ASSERT_TRUE(fpp.start(&error)) << error;

  HttpResponse r = call(fpp, "GET", "/api/channel/output/co-pixelStrings");
  ASSERT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("a\\/b B\\u00e4ume"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("\"status\":\"OK\""), std::string::npos);
  EXPECT_EQ(call(fpp, "GET", "/api/channel/output/co-bbbStrings").status, 404);

  // Posted documents lose one level of backslashes before they are stored.
  r = call(fpp,
           "POST",
           "/api/channel/output/co-pixelStrings",
           R"({"channelOutputs":[],"d":"q\"x\\\\y"})");
  EXPECT_EQ(*fpp.pixelStringsFile(), R"({"channelOutputs":[],"d":"q"x\\y"})");
  r = call(fpp, "GET", "/api/channel/output/co-pixelStrings");
  EXPECT_EQ(r.body, R"({"status":"OK"})") << "a damaged file still answers OK";
  EXPECT_EQ(call(fpp, "POST", "/api/channel/output/co-foo", "{}").body,
            R"({"status":"ERROR file not supported: co-foo"})");

  // The universe file: raw text, HTML 404 when missing, DELETE always 200.
  r = call(fpp, "GET", "/api/configfile/ci-universes.json");
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("\n\t"), std::string::npos) << "not tab-indented";
  EXPECT_EQ(call(fpp, "DELETE", "/api/configfile/ci-universes.json").body,
            R"({"Status":"OK","Message":""})");
  r = call(fpp, "DELETE", "/api/configfile/ci-universes.json");
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("\"Status\":\"Error\""), std::string::npos);
  r = call(fpp, "GET", "/api/configfile/ci-universes.json");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body.rfind("<html>", 0), 0u);

  auto log = fpp.requests();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[2].method, "POST");
  EXPECT_EQ(log[2].body, R"({"channelOutputs":[],"d":"q\"x\\\\y"})");
}

TEST(FppQuirks, StripslashesAndPhpEncoding) {
  EXPECT_EQ(stripSlashes(R"(a\"b\\c\/d\0e\)"), std::string("a\"b\\c/d\0e", 9));
  JsonValue doc;
  ASSERT_TRUE(parseJsonDocument(
      R"({"k":"\u00e9/\ud83c\udf84\u0001","n":[1.5,2]})", &doc));
  EXPECT_EQ(phpJsonEncode(doc),
            R"({"k":"\u00e9\/\ud83c\udf84\u0001","n":[1.5,2]})");
  EXPECT_EQ(phpJsonEncode(doc, true),
            "{\n\t\"k\": \"\\u00e9\\/\\ud83c\\udf84\\u0001\",\n\t\"n\": "
            "[\n\t\t1.5,\n\t\t2\n\t]\n}");
}

TEST(FppSimConfig, RejectsIncompleteFiles) {
  FppSimConfig config;
  std::string error;
  EXPECT_FALSE(loadFppSimConfig("[]", &config, &error));
  EXPECT_FALSE(loadFppSimConfig(R"({"systemInfo":{}})", &config, &error));
  EXPECT_EQ(error, "simulator config lacks \"pixelStrings\"");
  EXPECT_FALSE(loadFppSimConfigFile("no-such-file.json", &config, &error));
  EXPECT_TRUE(loadFppSimConfigFile("fpp-bbb.json", &config, &error)) << error;
}

}  // namespace
}  // namespace pxo::sim
