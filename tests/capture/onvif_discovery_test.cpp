// WS-Discovery against simulated cameras. Multicast: every test refuses to
// run unless the process sits in a network namespace whose only interface
// is loopback (CTest starts it through in_fresh_netns.sh).
#include "api/pixoria.h"
#include "capture/onvif/onvif_client.h"

#include "sim/onvif_camera.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#if defined(_WIN32)
#include <winsock2.h>
// After winsock2.h.
#include <iphlpapi.h>
#else
#include <net/if.h>
#endif

namespace pxo {
namespace {

#if defined(_WIN32)
// Under Wine the adapters are the Linux host's (or namespace's) interfaces.
bool onlyLoopback() {
  ULONG size = 16384;
  std::vector<unsigned char> buffer(size);
  auto* adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
  if (GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, adapters, &size) !=
      ERROR_SUCCESS)
    return false;
  for (const IP_ADAPTER_ADDRESSES* a = adapters; a; a = a->Next)
    if (a->IfType != IF_TYPE_SOFTWARE_LOOPBACK) return false;
  return true;
}
#else
bool onlyLoopback() {
  struct if_nameindex* names = if_nameindex();
  if (!names) return false;
  bool only = names[0].if_name != nullptr;
  for (const struct if_nameindex* n = names; n->if_name; ++n)
    only = only && std::string(n->if_name) == "lo";
  if_freenameindex(names);
  return only;
}
#endif

class OnvifDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(onlyLoopback())
        << "multicast tests run only in a fresh network namespace "
           "(tests/capture/in_fresh_netns.sh)";
  }

  sim::OnvifCamera& camera(sim::OnvifCameraConfig config) {
    cameras_.push_back(std::make_unique<sim::OnvifCamera>());
    std::string error;
    EXPECT_TRUE(cameras_.back()->start(std::move(config), &error)) << error;
    EXPECT_TRUE(cameras_.back()->startResponder(&error)) << error;
    return *cameras_.back();
  }

  std::vector<std::unique_ptr<sim::OnvifCamera>> cameras_;
};

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST_F(OnvifDiscovery, ACameraAnsweringTwiceFromTwoAddressesIsListedOnce) {
  sim::OnvifCameraConfig config;
  config.answerTwice = true;
  config.secondAddress = "127.0.0.2";
  const sim::OnvifCamera& cam = camera(config);

  DiscoveredCamera found[4];
  ASSERT_EQ(pxo_discover_network_cameras(found, 4, 600), 1);
  EXPECT_STREQ(found[0].label, "Sim Camera PX-100");
  EXPECT_STREQ(found[0].host, "127.0.0.1");
  EXPECT_EQ(found[0].serviceAddress, cam.deviceServiceUrl());
}

TEST_F(OnvifDiscovery, EachHostOnceInOrderOfArrivalUpToTheCount) {
  sim::OnvifCameraConfig first;
  first.scopeName = "";
  first.scopeHardware = "";
  camera(first);
  sim::OnvifCameraConfig second;
  second.address = "127.0.0.3";
  second.scopeHardware = "";
  camera(second);

  std::vector<DiscoveredNetworkCamera> found;
  ASSERT_EQ(discoverOnvifCameras(8, 600, &found), 2);
  std::vector<std::string> labels{found[0].label, found[1].label};
  std::sort(labels.begin(), labels.end());
  EXPECT_EQ(labels, (std::vector<std::string>{"127.0.0.1", "Sim Camera"}));

  // Enough found: discovery ends without waiting out its time.
  const auto start = Clock::now();
  DiscoveredCamera one[2];
  one[1].label[0] = 'x';
  ASSERT_EQ(pxo_discover_network_cameras(one, 1, 5000), 1);
  EXPECT_LT(secondsSince(start), 4.0);
  EXPECT_EQ(one[1].label[0], 'x');
}

TEST_F(OnvifDiscovery, RespondersThatAreNotCamerasAreSkipped) {
  std::ifstream in(std::string(PXO_SOURCE_DIR) +
                   "/tests/data/onvif/probe-not-a-camera.xml");
  std::ostringstream reply;
  reply << in.rdbuf();
  sim::WsDiscoveryResponder fileServer;
  std::string error;
  ASSERT_TRUE(fileServer.start(
      [&](const std::string&) {
        return std::vector<std::string>{reply.str(), "not even XML"};
      },
      {""},
      &error))
      << error;
  camera({});

  std::vector<DiscoveredNetworkCamera> found;
  ASSERT_EQ(discoverOnvifCameras(8, 600, &found), 1);
  EXPECT_EQ(found[0].label, "Sim Camera PX-100");
  EXPECT_GE(fileServer.probes(), 1);
}

TEST_F(OnvifDiscovery, NobodyAnsweringTakesTheTimeoutAndNoMore) {
  std::vector<DiscoveredNetworkCamera> found;
  const auto start = Clock::now();
  EXPECT_EQ(discoverOnvifCameras(8, 400, &found), 0);
  const double took = secondsSince(start);
  EXPECT_GE(took, 0.39);
  EXPECT_LT(took, 3.0);

  DiscoveredCamera records[1];
  EXPECT_EQ(pxo_discover_network_cameras(nullptr, 4, 100), 0);
  EXPECT_EQ(pxo_discover_network_cameras(records, 0, 100), 0);
}

}  // namespace
}  // namespace pxo
