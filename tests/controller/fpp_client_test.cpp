#include "controller/fpp_client.h"

#include "json/json.h"

#include "sim/fpp_simulator.h"

#include <chrono>
#include <functional>
#include <tuple>

#include <gtest/gtest.h>

namespace pxo {
namespace {

using namespace std::chrono_literals;
using sim::FppFault;

std::unique_ptr<sim::FppSimulator> startSim(const char* file,
                                            const std::string& password = "") {
  sim::FppSimConfig config;
  std::string error;
  EXPECT_TRUE(sim::loadFppSimConfigFile(file, &config, &error)) << error;
  config.password = password;
  auto fpp = std::make_unique<sim::FppSimulator>(std::move(config));
  EXPECT_TRUE(fpp->start(&error)) << error;
  return fpp;
}

std::vector<std::string> paths(const sim::FppSimulator& fpp) {
  std::vector<std::string> out;
  for (const auto& r : fpp.requests()) out.push_back(r.method + " " + r.path);
  return out;
}

TEST(ConnectController, RaspberryPiPorts) {
  auto fpp = startSim("fpp-pi.json");
  ControllerLink link;
  std::string error;
  ASSERT_TRUE(connectController(&link, fpp->httpAddress(), "", "", &error))
      << error;
  EXPECT_FALSE(link.usesBBB);
  ASSERT_EQ(link.ports.size(), 2u);
  const ControllerPort& porch = link.ports[0];
  EXPECT_EQ(porch.portNumber, 0);
  EXPECT_EQ(porch.pixelCount, 150);
  EXPECT_EQ(porch.channelEnd, 450);
  const ControllerPort& trees = link.ports[1];
  // Both virtual strings count: 100 + 50 pixels, the second ending at 930.
  EXPECT_EQ(trees.pixelCount, 150);
  EXPECT_EQ(trees.scanPixelCount, 150);
  EXPECT_EQ(trees.startChannel, 450);
  EXPECT_EQ(trees.channelEnd, 930);
  EXPECT_EQ(trees.colorOrder, "GRB");
  EXPECT_EQ(trees.channelsPerPixel, 3);
  EXPECT_EQ(trees.nullNodes, 1);
  EXPECT_FALSE(trees.selected);

  EXPECT_FALSE(link.savedPortStrings.empty());
  EXPECT_TRUE(link.universeFileExisted);
  EXPECT_NE(link.savedUniverseInputs.find("Show PC"), std::string::npos);
  EXPECT_EQ(
      paths(*fpp),
      (std::vector<std::string>{"GET /api/system/info",
                                "GET /api/channel/output/co-pixelStrings",
                                "GET /api/channel/output/co-pixelStrings",
                                "GET /api/channel/output/co-universes",
                                "GET /api/channel/output/co-other",
                                "GET /api/configfile/ci-universes.json"}));
  EXPECT_EQ(link.otherOutputsEnd, 0);
}

TEST(ConnectController, BeagleBonePorts) {
  auto fpp = startSim("fpp-bbb.json");
  ControllerLink link;
  std::string error;
  ASSERT_TRUE(connectController(&link, fpp->httpAddress(), "", "", &error))
      << error;
  EXPECT_TRUE(link.usesBBB);
  ASSERT_EQ(link.ports.size(), 12u);
  EXPECT_EQ(link.ports[2].pixelCount, 100);  // two strings
  EXPECT_EQ(link.ports[2].channelEnd, 900);
  EXPECT_EQ(link.ports[3].channelEnd, 960);  // 60 pixels in groups of 3
  EXPECT_EQ(link.ports[4].channelsPerPixel, 4);
  EXPECT_EQ(link.ports[4].channelEnd, 1280);
  EXPECT_EQ(link.ports[6].pixelCount, 0);
  EXPECT_EQ(link.ports[8].channelEnd, 2390);  // its second string ends last
  EXPECT_FALSE(link.universeFileExisted);
  EXPECT_TRUE(link.savedUniverseInputs.empty());
  auto seen = paths(*fpp);
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[1], "GET /api/channel/output/co-bbbStrings");
}

TEST(ConnectController, Credentials) {
  auto fpp = startSim("fpp-pi.json", "s3cret");
  ControllerLink link;
  std::string error;
  EXPECT_FALSE(connectController(&link, fpp->httpAddress(), "", "", &error));
  EXPECT_EQ(error, "authentication required");
  EXPECT_FALSE(
      connectController(&link, fpp->httpAddress(), "admin", "wrong", &error));
  EXPECT_EQ(error, "authentication required");
  ASSERT_TRUE(
      connectController(&link, fpp->httpAddress(), "admin", "s3cret", &error))
      << error;
  auto requests = fpp->requests();
  ASSERT_GE(requests.size(), 4u);
  for (size_t i = requests.size() - 4; i < requests.size(); ++i)
    EXPECT_EQ(requests[i].authorization, "Basic YWRtaW46czNjcmV0") << i;
  EXPECT_EQ(link.user, "admin");
  EXPECT_EQ(link.password, "s3cret");
}

TEST(ConnectController, FailuresMapToTheirMessages) {
  struct Case {
    FppFault fault;
    const char* prefix;
    const char* message;
  };
  const Case cases[] = {
      {FppFault::kServerError, "/api/system", "could not connect to FPP"},
      {FppFault::kNotFppJson, "", "not an FPP controller"},
      // A web server that is not a controller: a page, or no such path.
      {FppFault::kNotFppHtml, "", "not an FPP controller"},
      {FppFault::kNotFound, "", "not an FPP controller"},
      {FppFault::kGarbage, "", "could not connect to FPP"},
      {FppFault::kCutShort, "/api/system", "could not connect to FPP"},
      // Both pixel-string endpoints fail: the controller has no ports.
      {FppFault::kPixelStatusError,
       "/api/channel/output/co-pixelStrings",
       "controller reports no pixel ports"},
      {FppFault::kServerError,
       "/api/channel/output/",
       "controller reports no pixel ports"},
      // Without the universe file's state the restore could lose it.
      {FppFault::kServerError,
       "/api/configfile/",
       "could not read controller universe configuration"},
  };
  auto fpp = startSim("fpp-pi.json");
  for (const Case& c : cases) {
    fpp->setFault(c.fault, c.prefix);
    ControllerLink link;
    link.savedPortStrings = "";
    std::string error;
    EXPECT_FALSE(connectController(&link, fpp->httpAddress(), "", "", &error))
        << c.message;
    EXPECT_EQ(error, c.message);
    EXPECT_TRUE(link.savedPortStrings.empty()) << c.message;
  }
  // The ERROR status sends the second attempt to the other endpoint.
  fpp->setFault(FppFault::kPixelStatusError,
                "/api/channel/output/co-pixelStrings");
  fpp->clearRequests();
  ControllerLink link;
  std::string error;
  EXPECT_FALSE(connectController(&link, fpp->httpAddress(), "", "", &error));
  EXPECT_EQ(
      paths(*fpp),
      (std::vector<std::string>{"GET /api/system/info",
                                "GET /api/channel/output/co-pixelStrings",
                                "GET /api/channel/output/co-bbbStrings"}));

  fpp->setFault(FppFault::kChunked);
  EXPECT_TRUE(connectController(&link, fpp->httpAddress(), "", "", &error))
      << error;
  EXPECT_EQ(link.ports.size(), 2u);

  std::string address = fpp->httpAddress();
  fpp->stop();
  EXPECT_FALSE(connectController(&link, address, "", "", &error));
  EXPECT_EQ(error, "could not connect to FPP");
  EXPECT_EQ(link.host, address);
}

std::unique_ptr<sim::FppSimulator> startWith(
    const char* file, const std::function<void(sim::FppSimConfig*)>& change) {
  sim::FppSimConfig config;
  std::string error;
  EXPECT_TRUE(sim::loadFppSimConfigFile(file, &config, &error)) << error;
  change(&config);
  auto fpp = std::make_unique<sim::FppSimulator>(std::move(config));
  EXPECT_TRUE(fpp->start(&error)) << error;
  return fpp;
}

TEST(ConnectController, TheStringsEndpointIsTheOneWithOutputs) {
  // A Pi whose strings live in the BeagleBone file (a cape configuration
  // of that family), and a BeagleBone-named board with the Pi file.
  for (auto [file, keeps, bbb] :
       {std::tuple{"fpp-pi.json", "co-bbbStrings", true},
        std::tuple{"fpp-bbb.json", "co-pixelStrings", false}}) {
    const std::string kept = keeps;
    auto fpp =
        startWith(file, [&](sim::FppSimConfig* c) { c->pixelFile = kept; });
    ControllerLink link;
    std::string error;
    ASSERT_TRUE(connectController(&link, fpp->httpAddress(), "", "", &error))
        << file << ": " << error;
    EXPECT_EQ(link.usesBBB, bbb) << file;
    EXPECT_FALSE(link.ports.empty());
    // The saved document came from the same endpoint.
    auto seen = paths(*fpp);
    EXPECT_EQ(seen[3], std::string("GET /api/channel/output/") + keeps) << file;
  }
}

TEST(ConnectController, ADamagedStringsFileIsNotReadAsNoPorts) {
  // What the controller's own page leaves behind when a description holds
  // a double quote: the file no longer parses, and the controller answers
  // {"status":"OK"} without outputs.
  auto fpp = startSim("fpp-pi.json");
  fpp->setPixelStringsFile(
      R"({"channelOutputs":[{"outputs":[{"portNumber":0,"virtualStrings":)"
      R"([{"description":"The "big" tree","pixelCount":50}]}]}]})");
  ControllerLink link;
  std::string error;
  EXPECT_FALSE(connectController(&link, fpp->httpAddress(), "", "", &error));
  EXPECT_EQ(error, "could not read controller port configuration");
  EXPECT_TRUE(link.savedPortStrings.empty());
  for (const auto& r : fpp->requests()) EXPECT_EQ(r.method, "GET");
}

TEST(ConnectController, ChannelsOfOtherOutputsAreKeptClear) {
  JsonValue universes;
  ASSERT_TRUE(parseJsonDocument(R"({"channelOutputs":[
      {"type":"universes","enabled":1,"startChannel":1,"channelCount":-1,
       "universes":[
         {"active":1,"startChannel":1,"channelCount":510,"id":1},
         {"active":1,"startChannel":511,"channelCount":510,"id":2},
         {"active":0,"startChannel":9001,"channelCount":510,"id":3}]},
      {"type":"universes","enabled":0,"startChannel":20001,
       "channelCount":100}]})",
                                &universes));
  JsonValue other;
  ASSERT_TRUE(parseJsonDocument(R"({"channelOutputs":[
      {"type":"VirtualMatrix","enabled":1,"startChannel":2001,
       "channelCount":300}]})",
                                &other));
  auto fpp = startWith("fpp-pi.json", [&](sim::FppSimConfig* c) {
    c->otherOutputs["co-universes"] = universes;
    c->otherOutputs["co-other"] = other;
  });
  ControllerLink link;
  std::string error;
  ASSERT_TRUE(connectController(&link, fpp->httpAddress(), "", "", &error))
      << error;
  // Channels 1 ... 2300 (1-based) are in use: the scan starts at 2300.
  EXPECT_EQ(link.otherOutputsEnd, 2300);
}

TEST(ConnectController, SilentControllerFailsWithinTheTimeLimit) {
  auto fpp = startSim("fpp-pi.json");
  fpp->setFault(FppFault::kNeverAnswer);
  ControllerLink link;
  std::string error;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(connectController(&link, fpp->httpAddress(), "", "", &error));
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(error, "could not connect to FPP");
  EXPECT_GE(took, 14s);
  EXPECT_LT(took, 20s);
}

TEST(QueryControllerInfo, DocumentLayout) {
  auto fpp = startSim("fpp-pi.json");
  std::string doc;
  ASSERT_EQ(queryControllerInfo(fpp->httpAddress(), "", "", &doc),
            FppResult::kOk);
  EXPECT_EQ(
      doc.rfind(
          "{\"platform\":\"Raspberry Pi\",\"version\":\"9.5.3\",\"hostName\":"
          "\"FPP-Yard\",\"mode\":\"player\",\"variant\":\"Pi 4\",\"usesBBB\":"
          "false,\"cape\":{\"id\":\"PiHat\",\"name\":\"PiHat\",\"version\":"
          "\"1.0\"},\"outputType\":\"RPIWS281X\",\"subType\":\"PiHat\","
          "\"outputCount\":2,\"endpoint\":\"/api/channel/output/"
          "co-pixelStrings\",\"ports\":[{\"portNumber\":0,",
          0),
      0u)
      << doc;
  JsonValue parsed;
  ASSERT_TRUE(parseJsonDocument(doc, &parsed));
  EXPECT_EQ(getInt(parsed.object["ports"].array[1], "brightness", 0), 80);
}

TEST(ReadUniverseInputs, ExistingAndMissingFiles) {
  auto pi = startSim("fpp-pi.json");
  bool enabled = false, existed = false;
  std::string body;
  ASSERT_EQ(
      readUniverseInputs(pi->httpAddress(), "", "", &enabled, &existed, &body),
      FppResult::kOk);
  EXPECT_TRUE(existed);
  EXPECT_TRUE(enabled);
  EXPECT_FALSE(body.empty());
  // One controller at a time: under Wine two cannot hold DDP's port.
  pi.reset();

  auto bbb = startSim("fpp-bbb.json");
  ASSERT_EQ(
      readUniverseInputs(bbb->httpAddress(), "", "", &enabled, &existed, &body),
      FppResult::kOk);
  EXPECT_FALSE(existed);
  EXPECT_FALSE(enabled);
  EXPECT_TRUE(body.empty());
}

TEST(FppResultOf, StatusMapping) {
  EXPECT_EQ(fppResultOf(false, 0), FppResult::kUnreachable);
  EXPECT_EQ(fppResultOf(true, 401), FppResult::kAuthRequired);
  EXPECT_EQ(fppResultOf(true, 200), FppResult::kOk);
  EXPECT_EQ(fppResultOf(true, 204), FppResult::kOk);
  EXPECT_EQ(fppResultOf(true, 404), FppResult::kHttpError);
  EXPECT_EQ(fppResultOf(true, 500), FppResult::kHttpError);
  EXPECT_EQ(fppResultOf(true, 199), FppResult::kHttpError);
}

}  // namespace
}  // namespace pxo
