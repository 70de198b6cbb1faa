// Reading camera replies (documents shaped like real cameras' in
// tests/data/onvif/) and asking the simulated camera on loopback for its
// profiles, through the library's exports as a host calls them.
#include "capture/onvif/onvif_client.h"

#include "api/pixoria.h"
#include "capture/onvif/onvif_xml.h"

#include "sim/onvif_camera.h"

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace pxo {
namespace {

std::string document(const std::string& name) {
  std::ifstream in(std::string(PXO_SOURCE_DIR) + "/tests/data/onvif/" + name,
                   std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  EXPECT_FALSE(text.str().empty()) << name;
  return text.str();
}

TEST(OnvifReplies, ProbeMatchesGiveTheFirstServiceAddressAndALabel) {
  // Addresses on separate lines, the hardware scope before the name, the
  // name percent-encoded.
  auto camera = readProbeMatch(document("probe-two-xaddrs.xml"));
  ASSERT_TRUE(camera);
  EXPECT_EQ(camera->serviceAddress, "http://127.0.0.2/onvif/services");
  EXPECT_EQ(camera->host, "127.0.0.2");
  EXPECT_EQ(camera->label, "Porch Camera DOME-4");

  // Other prefixes for the same namespaces, no name or hardware scope.
  camera = readProbeMatch(document("probe-tdn-prefix.xml"));
  ASSERT_TRUE(camera);
  EXPECT_EQ(camera->serviceAddress,
            "http://127.0.0.1:2020/onvif/device_service");
  EXPECT_EQ(camera->host, "127.0.0.1");
  EXPECT_EQ(camera->label, "127.0.0.1");

  // A file server answering the same probe: no XAddrs at all.
  EXPECT_FALSE(readProbeMatch(document("probe-not-a-camera.xml")));
  // Addresses that are not ONVIF services, or name no host.
  EXPECT_FALSE(readProbeMatch("<d:XAddrs>http://10.0.0.2/wsd</d:XAddrs>"));
  EXPECT_FALSE(readProbeMatch("<d:XAddrs>http:///onvif/x</d:XAddrs>"));
  camera = readProbeMatch(
      "<d:Scopes>onvif://www.onvif.org/name/Only%2fName%zz%4</d:Scopes>"
      "<d:XAddrs>http://[fe80::1]:80/onvif/device_service</d:XAddrs>");
  ASSERT_TRUE(camera);
  EXPECT_EQ(camera->host, "fe80::1");
  EXPECT_EQ(camera->label, "Only/Name%zz%4");
}

TEST(OnvifReplies, CapabilitiesProfilesStreamAddressesAndFaults) {
  EXPECT_EQ(mediaAddressIn(document("capabilities-one-address.xml")),
            "http://127.0.0.1:8080/onvif/services");
  EXPECT_EQ(mediaAddressIn(document("capabilities-compact.xml")),
            "http://127.0.0.1:8080/onvif/media_service");
  EXPECT_FALSE(mediaAddressIn(document("fault-nested-subcodes.xml")));

  // An encoder with only a name, a profile with none, then a whole one:
  // neither of the first two borrows the third's encoder.
  const auto profiles =
      h264ProfilesIn(document("profiles-incomplete-encoder.xml"));
  ASSERT_EQ(profiles.size(), 1u);
  EXPECT_EQ(profiles[0].token, "Recorder00003");
  EXPECT_EQ(profiles[0].name, "Channel3_Main");
  EXPECT_EQ(profiles[0].width, 1280);
  EXPECT_EQ(profiles[0].height, 720);
  EXPECT_EQ(profiles[0].frameRateLimit, 25);

  // A camera that echoes the request's security header, with PTZ.
  const auto single = h264ProfilesIn(document("profiles-single-ptz.xml"));
  ASSERT_EQ(single.size(), 1u);
  EXPECT_EQ(single[0].token, "stream0");
  EXPECT_EQ(single[0].name, "Front door");
  EXPECT_EQ(single[0].width, 2560);
  EXPECT_EQ(single[0].height, 1440);
  EXPECT_EQ(single[0].frameRateLimit, 10);

  EXPECT_EQ(xmlElementText(document("streamuri-padded.xml"), "Uri"),
            "rtsp://127.0.0.1:8554/cam/realmonitor?channel=1&subtype=1&"
            "unicast=true&proto=Onvif");
  EXPECT_EQ(soapFaultText(document("fault-nested-subcodes.xml")),
            "Argument Value Invalid");
  EXPECT_EQ(soapFaultText(document("capabilities-compact.xml")), "");
}

sim::SimProfile profile(const std::string& token,
                        std::string encoding,
                        int32_t width,
                        int32_t height) {
  sim::SimProfile p;
  p.name = token + " stream";
  p.token = token;
  p.encoding = std::move(encoding);
  p.width = width;
  p.height = height;
  p.frameRateLimit = 25;
  p.streamUri = "rtsp://127.0.0.1:8554/" + p.token + "?channel=1&subtype=0";
  return p;
}

class OnvifProfiles : public ::testing::Test {
 protected:
  void start(sim::OnvifCameraConfig config) {
    std::string error;
    ASSERT_TRUE(camera_.start(std::move(config), &error)) << error;
    url_ = camera_.deviceServiceUrl();
  }
  int32_t enumerate(const char* user,
                    const char* password,
                    int32_t maxCount = 8) {
    std::memset(records_, 0x55, sizeof records_);
    std::memset(error_, 0x55, sizeof error_);
    return pxo_enumerate_camera_profiles(url_.c_str(),
                                         user,
                                         password,
                                         records_,
                                         maxCount,
                                         error_,
                                         sizeof error_);
  }

  sim::OnvifCamera camera_;
  std::string url_;
  CameraProfile records_[8];
  char error_[128];
};

TEST_F(OnvifProfiles, OnlyH264InAnyCaseLargestFirstWithStreamAddresses) {
  sim::OnvifCameraConfig config;
  config.profiles = {profile("sub", "h264", 640, 360),
                     profile("mjpeg", "JPEG", 3840, 2160),
                     profile("main", "H264", 1920, 1080),
                     profile("hevc", "H265", 2560, 1440),
                     profile("none", "", 1280, 720)};
  start(config);
  ASSERT_EQ(enumerate(nullptr, nullptr), 2) << error_;
  EXPECT_STREQ(error_, "");
  EXPECT_STREQ(records_[0].name, "main stream");
  EXPECT_STREQ(records_[0].streamUri,
               "rtsp://127.0.0.1:8554/main?channel=1&subtype=0");
  EXPECT_EQ(records_[0].width, 1920);
  EXPECT_EQ(records_[0].height, 1080);
  EXPECT_EQ(records_[0].frameRateLimit, 25);
  EXPECT_STREQ(records_[1].name, "sub stream");
  EXPECT_EQ(records_[1].width, 640);
  // Without credentials no request carries a security header.
  EXPECT_GT(camera_.requests(), 0);
  EXPECT_EQ(camera_.withSecurityHeader(), 0);

  // One record asked for: the larger profile, and nothing past it touched.
  ASSERT_EQ(enumerate("", "", 1), 1);
  EXPECT_EQ(records_[0].width, 1920);
  EXPECT_EQ(records_[1].width, 0x55555555);
}

TEST_F(OnvifProfiles, CredentialsTravelAsAPasswordDigest) {
  sim::OnvifCameraConfig config;
  config.user = "admin";
  config.password = "9999";
  config.separateMediaService = false;
  config.profiles = {profile("main", "H264", 1280, 720)};
  start(config);
  ASSERT_EQ(enumerate("admin", "9999"), 1) << error_;
  EXPECT_EQ(camera_.refused(), 0);
  EXPECT_EQ(camera_.withSecurityHeader(), camera_.requests());

  EXPECT_EQ(enumerate("admin", "wrong"), -1);
  EXPECT_STREQ(error_,
               "GetProfiles failed (status 400): Sender not Authorized");
  EXPECT_EQ(enumerate(nullptr, nullptr), -1);
  EXPECT_STREQ(error_,
               "GetProfiles failed (status 400): Sender not Authorized");
}

TEST_F(OnvifProfiles, FaultsMissingProfilesAndMissingStreams) {
  sim::OnvifCameraConfig config;
  config.getProfilesFault = "Media service busy & resting";
  start(config);
  EXPECT_EQ(enumerate(nullptr, nullptr), -1);
  EXPECT_STREQ(error_,
               "GetProfiles failed (status 500): Media service busy & resting");
  camera_.stop();

  config = {};
  config.profiles = {profile("mjpeg", "JPEG", 1920, 1080)};
  start(config);
  EXPECT_EQ(enumerate(nullptr, nullptr), 0);
  EXPECT_STREQ(error_, "no H.264 video profiles found");
  camera_.stop();

  // GetStreamUri refused: the profile stays, without an address.
  config.profiles = {profile("main", "H264", 1920, 1080)};
  config.streamUriFails = true;
  start(config);
  ASSERT_EQ(enumerate(nullptr, nullptr), 1);
  EXPECT_STREQ(records_[0].streamUri, "");
  const uint16_t port =
      static_cast<uint16_t>(std::stoi(url_.substr(url_.rfind(':') + 1)));
  camera_.stop();

  // Nobody listening any more: the transport failed.
  url_ = "http://127.0.0.1:" + std::to_string(port) + "/onvif/device_service";
  EXPECT_EQ(enumerate(nullptr, nullptr), -1);
  EXPECT_STREQ(error_, "GetProfiles failed (status 0)");
}

TEST_F(OnvifProfiles, BadArgumentsAndShortBuffers) {
  char error[8];
  EXPECT_EQ(pxo_enumerate_camera_profiles(
                nullptr, "", "", records_, 1, error, sizeof error),
            -1);
  EXPECT_STREQ(error, "bad arg");
  EXPECT_EQ(pxo_enumerate_camera_profiles(
                "http://127.0.0.1:1/", "", "", nullptr, 1, error, 8),
            -1);
  EXPECT_EQ(pxo_enumerate_camera_profiles(
                "http://127.0.0.1:1/", "", "", records_, 0, nullptr, 0),
            -1);
  error[0] = 'x';
  EXPECT_EQ(pxo_enumerate_camera_profiles(
                "http://127.0.0.1:1/", "", "", records_, 0, error, 0),
            -1);
  EXPECT_EQ(error[0], 'x');

  // A name longer than its field is cut where a character starts.
  sim::OnvifCameraConfig config;
  config.profiles = {profile("main", "H264", 1920, 1080)};
  config.profiles[0].name = std::string(94, 'a') + "\xc3\xa9\xc3\xa9";
  start(config);
  ASSERT_EQ(enumerate(nullptr, nullptr), 1);
  EXPECT_EQ(std::string(records_[0].name), std::string(94, 'a'));
}

}  // namespace
}  // namespace pxo
