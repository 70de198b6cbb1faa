// A WLED controller as its JSON API describes it: the documents of a
// two-output controller, and documents that are missing parts, too large
// or not documents at all.

#include "controller/wled_device.h"

#include <fstream>
#include <sstream>

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

}  // namespace
}  // namespace pxo
