#include "controller/fpp_reconfigure.h"

#include "json/json.h"

#include "sim/fpp_quirks.h"

#include <gtest/gtest.h>

namespace pxo {
namespace {

JsonValue parse(std::string_view text) {
  JsonValue value;
  EXPECT_TRUE(parseJsonDocument(text, &value)) << text;
  return value;
}

// A saved answer as the controller gives it: keys in its own order, "/"
// and non-ASCII escaped, a "status" added.
constexpr char kSaved[] = R"({
  "channelOutputs": [{
    "type": "RPIWS281X", "enabled": 1, "outputCount": 4,
    "outputs": [
      {"portNumber": 0, "protocol": "ws2811", "virtualStrings": [
        {"description": "B\u00e4ume a\/b", "startChannel": 0, "pixelCount": 50,
         "brightness": 100, "gamma": "2.2", "colorOrder": "GRB", "custom": "keep"}]},
      {"portNumber": 1, "virtualStrings": [
        {"startChannel": 150, "pixelCount": 20, "brightness": 0}]},
      {"portNumber": 2, "virtualStrings": [
        {"startChannel": 210, "pixelCount": 20, "brightness": 25}]},
      {"portNumber": 3},
      {"portNumber": 4, "virtualStrings": [{"startChannel": 300, "pixelCount": 5}]},
      "not an object"
    ]
  }],
  "status": "OK"
})";

JsonValue scanString(const JsonValue& doc, size_t output) {
  const JsonValue& outputs =
      doc.object.at("channelOutputs").array[0].object.at("outputs");
  const JsonValue& strings = outputs.array[output].object.at("virtualStrings");
  EXPECT_EQ(strings.array.size(), 1u);
  return strings.array[0];
}

TEST(BuildScanPortConfig, ReplacesTheSelectedPortsStrings) {
  const ScanPortSpec portSpecs[] = {{0, 1000, 30, 3, 2},
                                    {1, 1090, 20, 4, 0},
                                    {2, 1170, 5, 3, 0},
                                    {3, 1185, 7, 3, 0},
                                    {0, 9999, 1, 3, 0}};
  std::string text;
  ASSERT_TRUE(buildScanPortConfig(kSaved, portSpecs, &text));
  JsonValue doc = parse(text);
  EXPECT_EQ(findMember(doc, "status"), nullptr)
      << "the answer's status was kept";

  JsonValue first = scanString(doc, 0);
  // The first portSpec for port 0 wins over the later one. The old
  // string's keys keep their places; the scan's others follow.
  EXPECT_EQ(toJsonText(first),
            R"({"description":"","startChannel":1000,"pixelCount":30,)"
            R"("brightness":40,"gamma":"1.0","colorOrder":"GRB",)"
            R"("custom":"keep","groupCount":1,"reverse":0,"nullNodes":2,)"
            R"("endNulls":0,"zigZag":0})");
  EXPECT_EQ(getInt(scanString(doc, 1), "brightness", -1), 1);
  EXPECT_EQ(getString(scanString(doc, 1), "colorOrder", ""), "RGBW");
  EXPECT_EQ(getInt(scanString(doc, 2), "brightness", -1), 25);
  // An output without virtual strings gets one, at brightness 40.
  EXPECT_EQ(getInt(scanString(doc, 3), "brightness", -1), 40);
  EXPECT_EQ(getInt(scanString(doc, 3), "startChannel", -1), 1185);
  // An output no portSpec names keeps its strings.
  EXPECT_EQ(getInt(scanString(doc, 4), "startChannel", -1), 300);
  EXPECT_EQ(getInt(scanString(doc, 4), "brightness", -1), -1);
  // Everything else of the output stays.
  const JsonValue& outputs =
      doc.object.at("channelOutputs").array[0].object.at("outputs");
  EXPECT_EQ(getString(outputs.array[0], "protocol", ""), "ws2811");
  EXPECT_EQ(outputs.array[5].string, "not an object");
  // Our writer writes UTF-8 and "/" as they are.
  EXPECT_EQ(text.find("\\/"), std::string::npos);
  EXPECT_EQ(text.find("\\u"), std::string::npos);
}

TEST(BuildScanPortConfig, RefusesUnusableDocuments) {
  const ScanPortSpec portSpec[] = {{0, 1, 1, 3, 0}};
  std::string out = "stale";
  for (const char* bad : {"",
                          "not json",
                          "[1,2]",
                          R"({"channelOutputs":{}})",
                          R"({"channelOutputs":[]})",
                          R"({"channelOutputs":[1]})"}) {
    EXPECT_FALSE(buildScanPortConfig(bad, portSpec, &out)) << bad;
    EXPECT_EQ(out, "");
  }
  // Without "outputs" the document goes back as it was, re-written with its
  // keys and numbers as they stood.
  ASSERT_TRUE(buildScanPortConfig(
      R"( {"channelOutputs":[{"type":"X","b":1.0}]})", portSpec, &out));
  EXPECT_EQ(out, R"({"channelOutputs":[{"type":"X","b":1.0}]})");
}

TEST(PostedDocuments, SurviveTheControllersStripslashes) {
  for (std::string json :
       {std::string(R"({"d":"a \"quote\" and C:\\path \\u0041"})"),
        std::string(R"({"d":"\\\\server\\share\\0"})"),
        std::string("{}"),
        std::string("{\"d\":\"B\xC3\xA4ume\"}")}) {
    EXPECT_EQ(sim::stripSlashes(escapeForStripslashes(json)), json);
  }
  // Sent verbatim, an escaped quote ends the string early: invalid JSON.
  JsonValue out;
  EXPECT_FALSE(
      parseJsonDocument(sim::stripSlashes(R"({"d":"say \"hi\""})"), &out));
}

TEST(DocumentForRestore, RewritesWhatParses) {
  EXPECT_EQ(documentForRestore(R"({"a":"x\/y \u00e9","status":"OK"})", true),
            "{\"a\":\"x/y \xC3\xA9\"}");
  EXPECT_EQ(documentForRestore(R"({"status":"kept"})", false),
            R"({"status":"kept"})");
  EXPECT_EQ(documentForRestore("not { json", true), "not { json");
}

}  // namespace
}  // namespace pxo
