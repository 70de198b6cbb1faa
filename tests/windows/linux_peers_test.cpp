// The Windows client against servers that run as Linux programs on the
// same loopback: the simulated controller (fpp-sim, HTTP and its DDP
// input) and GStreamer's RTSP server. windows/with_linux_peers.sh starts
// them, passes their addresses in PXO_PEER_FPP and PXO_PEER_RTSP, and
// afterwards checks on the Linux side what arrived: the controller's files
// back byte for byte, and every DDP packet.

#include "capture/rtsp/h264_depacketizer.h"
#include "capture/rtsp/rtsp_session.h"
#include "controller/fpp_client.h"
#include "controller/fpp_reconfigure.h"
#include "controller/scan_every_port.h"
#include "scan/ddp_sender.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace pxo {
namespace {

using namespace std::chrono_literals;

// Every packet this test sends to the controller; the script counts them
// on the Linux side.
constexpr int kDdpFrames = 50;

std::string peer(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

TEST(LinuxController, ScanConfigurationDdpAndByteIdenticalRestore) {
  const std::string address = peer("PXO_PEER_FPP");
  if (address.empty())
    GTEST_SKIP() << "PXO_PEER_FPP not set (run by with_linux_peers.sh)";
  ControllerLink link;
  std::string error;
  ASSERT_TRUE(connectController(&link, address, "", "", &error)) << error;
  ASSERT_FALSE(link.ports.empty());

  const std::vector<ScanPortSpec> specs = test::scanEveryPort(link, 1);
  std::string scanConfig;
  ASSERT_TRUE(buildScanPortConfig(link.savedPortStrings, specs, &scanConfig));
  ASSERT_TRUE(applyScanConfiguration(&link, scanConfig, {}, &error)) << error;

  // One packet per frame (below the 1440-byte payload limit), each pushed.
  DdpSender* sender = openDdpSender(address.c_str());
  ASSERT_NE(sender, nullptr);
  std::vector<uint8_t> frame(900);
  for (int i = 0; i < kDdpFrames; ++i) {
    std::fill(frame.begin(), frame.end(), static_cast<uint8_t>(i));
    EXPECT_EQ(sendDdpFrame(sender, frame, 0), 0);
    std::this_thread::sleep_for(5ms);
  }
  closeDdpSender(sender);
  // Received before the input is switched off again.
  std::this_thread::sleep_for(300ms);
  restoreController(&link);
}

TEST(LinuxRtspServer, OpensWithDigestAndReceivesTheStream) {
  const std::string url = peer("PXO_PEER_RTSP");
  if (url.empty())
    GTEST_SKIP() << "PXO_PEER_RTSP not set (run by with_linux_peers.sh)";
  RtspStreamInfo info;
  std::string error;
  auto session = openRtspSession(url, "admin", "secret", &info, &error);
  ASSERT_TRUE(session) << error;
  EXPECT_EQ(info.codec, RtspCodec::kH264);
  EXPECT_EQ(session->auth.scheme, RtspScheme::kDigest);

  std::atomic<int> units{0}, keys{0};
  session->depacketizer.setCallbacks(
      [&](std::span<const std::string_view>, uint32_t, bool key) {
        ++units;
        keys += key ? 1 : 0;
      },
      nullptr);
  int32_t width = 0, height = 0;
  EXPECT_TRUE(readSpsSize(session->depacketizer.sps(), &width, &height));
  EXPECT_EQ(width, 640);
  EXPECT_EQ(height, 360);

  std::atomic<RtspEnd> end{RtspEnd::kNoSession};
  std::thread reader([&] { end = runRtspReader(session.get()); });
  const auto until = std::chrono::steady_clock::now() + 15s;
  while (units < 45 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(20ms);
  requestStop(session.get());
  reader.join();
  EXPECT_EQ(end, RtspEnd::kStopRequested);
  EXPECT_GE(units, 45);
  EXPECT_GE(keys, 1);
  closeRtspSession(std::move(session));
}

}  // namespace
}  // namespace pxo
