// A WLED controller as its JSON API describes it: the documents of a
// two-output controller, and documents that are missing parts, too large
// or not documents at all.

#include "controller/wled_device.h"

#include "json/json.h"

#include "sim/http_server.h"

#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

namespace pxo {
namespace {

std::string readData(const std::string& name) {
  std::ifstream in(std::string(PXO_SOURCE_DIR) + "/tests/data/wled/" + name,
                   std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  EXPECT_FALSE(text.str().empty()) << name;
  return text.str();
}

TEST(WledDevice, ReadsTheControllersThreeDocuments) {
  WledDevice device;
  std::string error;
  ASSERT_TRUE(parseWledInfo(readData("info.json"), &device, &error)) << error;
  ASSERT_TRUE(parseWledConfig(readData("cfg.json"), &device, &error)) << error;
  ASSERT_TRUE(parseWledState(readData("state.json"), &device, &error)) << error;
  EXPECT_EQ(device.name, "Porch Bush");
  EXPECT_EQ(device.version, "0.14.4");
  EXPECT_EQ(device.ledCount, 300);
  EXPECT_FALSE(device.white);
  EXPECT_FALSE(device.liveNow);
  ASSERT_EQ(device.outputs.size(), 2u);
  EXPECT_EQ(device.outputs[1].start, 150);
  EXPECT_EQ(device.outputs[1].length, 150);
  EXPECT_STREQ(wledColorOrderName(device.outputs[0].colorOrder), "GRB");
  EXPECT_STREQ(wledColorOrderName(device.outputs[1].colorOrder), "RGB");
  EXPECT_TRUE(device.outputs[1].reversed);
  EXPECT_EQ(device.outputs[1].skip, 1);
  EXPECT_TRUE(device.realtimeEnabled);
  EXPECT_EQ(device.realtimeTimeoutMs, 2500);
  EXPECT_EQ(device.dmxStartAddress, 4);
  EXPECT_TRUE(device.on);
  EXPECT_EQ(device.brightness, 96);
  // Realtime data shows at the master brightness unless forced to full.
  EXPECT_EQ(wledRealtimeBrightness(device), 96);
  device.forceMaxBrightness = true;
  EXPECT_EQ(wledRealtimeBrightness(device), 255);
  device.forceMaxBrightness = false;
  device.on = false;
  EXPECT_EQ(wledRealtimeBrightness(device), 0);
}

TEST(WledDevice, OlderAndSparserDocuments) {
  WledDevice device;
  std::string error;
  // Firmware before light capabilities says "rgbw"; a configuration with
  // realtime off and brightness forced; numbers beyond what the firmware
  // holds are clamped.
  ASSERT_TRUE(parseWledInfo(
      R"({"ver":"0.8.4","leds":{"count":99999,"rgbw":true},"live":true})",
      &device,
      &error));
  EXPECT_EQ(device.ledCount, kMaxWledLeds);
  EXPECT_TRUE(device.white);
  EXPECT_TRUE(device.liveNow);
  ASSERT_TRUE(parseWledConfig(
      R"({"if":{"live":{"en":false,"maxbri":true,"timeout":-5,
          "dmx":{"addr":9000}}},"hw":{"led":{"ins":[{"len":-3},7]}}})",
      &device,
      &error));
  EXPECT_FALSE(device.realtimeEnabled);
  EXPECT_TRUE(device.forceMaxBrightness);
  EXPECT_EQ(device.realtimeTimeoutMs, 0);
  EXPECT_EQ(device.dmxStartAddress, 512);
  ASSERT_EQ(device.outputs.size(), 1u);
  EXPECT_EQ(device.outputs[0].length, 0);
  // A document with none of the members keeps the defaults.
  WledDevice empty;
  ASSERT_TRUE(parseWledState("{}", &empty, &error));
  EXPECT_TRUE(empty.on);
  EXPECT_EQ(empty.brightness, 128);
  EXPECT_STREQ(wledColorOrderName(4), "BGR");
  EXPECT_STREQ(wledColorOrderName(0x31), "RGB");  // white swapped
  EXPECT_EQ(wledColorOrderName(6), nullptr);
  EXPECT_EQ(wledColorOrderName(-1), nullptr);
}

TEST(WledDevice, RefusesWhatIsNoControllerDocument) {
  WledDevice device;
  std::string error;
  EXPECT_FALSE(parseWledInfo("<html>Not found</html>", &device, &error));
  EXPECT_EQ(error, "the controller's information is not a JSON object");
  EXPECT_FALSE(parseWledState("[1,2]", &device, &error));
  EXPECT_EQ(error, "the controller's state is not a JSON object");
  const std::string huge =
      "{\"name\":\"" + std::string(kMaxWledDocumentBytes, 'x') + "\"}";
  EXPECT_FALSE(parseWledInfo(huge, &device, &error));
  EXPECT_NE(error.find("larger than"), std::string::npos);
  std::string many = R"({"hw":{"led":{"ins":[)";
  for (size_t i = 0; i <= kMaxWledOutputs; ++i)
    many += std::string(i ? "," : "") + R"({"len":1})";
  many += "]}}}";
  EXPECT_FALSE(parseWledConfig(many, &device, &error));
  EXPECT_EQ(error,
            "the controller's configuration lists 65 outputs; at most 64 are "
            "read");
}

// A controller's JSON API on loopback: the three documents, and a state
// that a POST changes as the firmware merges it.
class WledOnLoopback {
 public:
  explicit WledOnLoopback(int32_t stateStatus = 200)
      : stateStatus_(stateStatus) {
    state_ = readData("state.json");
    std::string error;
    started_ = server_.start(
        "127.0.0.1",
        0,
        [this](const sim::HttpRequest& request) { return answer(request); },
        &error);
    EXPECT_TRUE(started_) << error;
  }
  std::string host() const {
    return "127.0.0.1:" + std::to_string(server_.port());
  }
  std::vector<std::string> posts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return posts_;
  }

 private:
  sim::HttpReply answer(const sim::HttpRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (request.method == "GET" && request.path == "/json/info")
      return sim::HttpReply::json(200, readData("info.json"));
    if (request.method == "GET" && request.path == "/json/cfg")
      return sim::HttpReply::json(200, readData("cfg.json"));
    if (request.path == "/json/state") {
      if (request.method == "GET") return sim::HttpReply::json(200, state_);
      posts_.push_back(request.body);
      if (stateStatus_ != 200)
        return sim::HttpReply::json(stateStatus_, "{\"error\":9}");
      JsonValue state, change;
      if (parseJsonDocument(state_, &state) &&
          parseJsonDocument(request.body, &change) && change.isObject()) {
        for (const JsonMember& member : change.object)
          state.object.set(member.key, member.value);
        state_ = toJsonText(state);
      }
      return sim::HttpReply::json(200, "{\"success\":true}");
    }
    return sim::HttpReply::json(404, "Not Found");
  }

  bool started_ = false;
  int32_t stateStatus_;
  std::mutex mutex_;
  std::string state_;
  std::vector<std::string> posts_;
  sim::HttpServer server_;  // last: stopped before what its handler uses
};

TEST(WledDevice, ReadFromTheControllerAndItsStateSetAndChecked) {
  WledOnLoopback wled;
  WledDevice device;
  std::string error;
  ASSERT_TRUE(readWledDevice(wled.host(), &device, &error)) << error;
  EXPECT_EQ(device.name, "Porch Bush");
  EXPECT_EQ(device.outputs.size(), 2u);
  EXPECT_EQ(device.brightness, 96);
  EXPECT_TRUE(wled.posts().empty());  // reading changes nothing

  ASSERT_TRUE(setWledState(wled.host(), true, 255, &error)) << error;
  ASSERT_TRUE(readWledDevice(wled.host(), &device, &error)) << error;
  EXPECT_EQ(device.brightness, 255);
  ASSERT_TRUE(setWledState(wled.host(), true, 96, &error)) << error;
  EXPECT_EQ(wled.posts(),
            (std::vector<std::string>{R"({"on":true,"bri":255})",
                                      R"({"on":true,"bri":96})"}));
}

TEST(WledDevice, AControllerThatFailsIsNamed) {
  WledOnLoopback refusing(500);
  std::string error;
  EXPECT_FALSE(setWledState(refusing.host(), true, 200, &error));
  EXPECT_EQ(error,
            "the WLED controller at " + refusing.host() +
                " answered HTTP 500 for /json/state");
  // Nothing listens on port 9 of this loopback address.
  WledDevice device;
  EXPECT_FALSE(readWledDevice("127.0.0.1:9", &device, &error));
  EXPECT_EQ(error, "no answer from the WLED controller at 127.0.0.1:9");
}

}  // namespace
}  // namespace pxo
