// The virtual camera filming the simulated controller, recorded through the
// real writer and read back: what the LEDs showed at each mark is what the
// extracted frame shows.

#include "sim/virtual_camera.h"

#include "scan/ddp_sender.h"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

namespace pxo::sim {
namespace {

using namespace std::chrono_literals;

FppSimConfig onePort(int32_t pixels) {
  FppSimConfig config;
  std::string error;
  std::string text = R"({"systemInfo":{"Platform":"Raspberry Pi","Version":"9"},
    "pixelStrings":{"channelOutputs":[{"type":"RPIWS281X","enabled":1,"outputs":[
      {"portNumber":0,"virtualStrings":[{"startChannel":0,"pixelCount":)" +
                     std::to_string(pixels) + R"(,"colorOrder":"RGB"}]}]}]},
    "universes":{"channelInputs":[{"type":"universes","enabled":1,"timeout":1000}]}})";
  EXPECT_TRUE(loadFppSimConfig(text, &config, &error)) << error;
  return config;
}

TEST(ProjectPoint, PinholeCamera) {
  CameraPose pose;  // at (0, 0, -5) looking along +z
  ImagePoint centre = projectPoint({0, 0, 0}, pose, 90, 200, 100);
  EXPECT_DOUBLE_EQ(centre.x, 100);
  EXPECT_DOUBLE_EQ(centre.y, 50);
  EXPECT_TRUE(centre.inView);
  // 90° across 200 px: focal length 100 px; 1 m right and up at 5 m.
  ImagePoint corner = projectPoint({1, 1, 0}, pose, 90, 200, 100);
  EXPECT_NEAR(corner.x, 120, 1e-9);
  EXPECT_NEAR(corner.y, 30, 1e-9);
  EXPECT_FALSE(projectPoint({0, 0, -6}, pose, 90, 200, 100).inView);  // behind
  pose.yawDeg = 90;  // looking along +x now
  ImagePoint ahead = projectPoint({5, 0, -5}, pose, 90, 200, 100);
  EXPECT_NEAR(ahead.x, 100, 1e-9);
  EXPECT_TRUE(ahead.inView);
}

TEST(VirtualCamera, RecordsWhatTheLedsShowed) {
  FppSimulator fpp(onePort(12));
  std::string error;
  ASSERT_TRUE(fpp.start(&error)) << error;
  std::vector<PropLed> leds;
  for (int32_t i = 0; i < 12; ++i)
    leds.push_back({0, i, {-1.1 + 0.2 * i, 0, 0}, false});
  VirtualCameraConfig config;
  config.imaging.width = 320;
  config.imaging.height = 180;
  config.imaging.spotSigma = 1.5;
  config.imaging.noiseSigma = 2;
  VirtualCamera camera(fpp, leds, config);
  for (const ImagePoint& p : camera.groundTruth()) ASSERT_TRUE(p.inView);

  auto path = std::filesystem::temp_directory_path() / "pxo-virtual-camera.mp4";
  ASSERT_TRUE(camera.start("", &error)) << error;
  ASSERT_TRUE(camera.startRecording(path, &error)) << error;
  ASSERT_TRUE(camera.waitForRecordedFrame(5.0));
  pxo::DdpSenderPtr sender(pxo::openDdpSender(fpp.address().c_str()));
  ASSERT_TRUE(sender);

  const std::array<uint8_t, 3> colours[] = {
      {200, 0, 0}, {0, 200, 0}, {0, 0, 200}, {0, 0, 0}};
  for (const auto& colour : colours) {
    std::vector<uint8_t> frame(36);
    for (int32_t i = 0; i < 12; ++i)
      for (int c = 0; c < 3; ++c)
        frame[static_cast<size_t>(3 * i + c)] = colour[c];
    ASSERT_EQ(pxo::sendDdpFrame(sender.get(), frame, 0), 0);
    camera.addMark("colour");
    std::this_thread::sleep_for(400ms);
  }
  ASSERT_TRUE(camera.stopRecording().has_value());
  std::vector<pxowin::CaptureMark> marks = camera.takeMarks();
  camera.stop();
  ASSERT_EQ(marks.size(), 4u);
  EXPECT_GT(camera.framesDelivered(), 20);

  for (size_t m = 0; m < marks.size(); ++m) {
    pxowin::BgraFrame image;
    ASSERT_TRUE(camera.extractFrame(marks[m].time + 0.3, 0, image, &error))
        << error;
    ASSERT_EQ(image.width, 320);
    for (size_t i = 0; i < leds.size(); i += 5) {
      const ImagePoint p = camera.groundTruth()[i];
      const uint8_t* px =
          &image.pixels[static_cast<size_t>(std::lround(p.y)) * image.stride +
                        4 * static_cast<size_t>(std::lround(p.x))];
      int r = px[2], g = px[1], b = px[0];
      if (m == 3) {
        EXPECT_LT(std::max({r, g, b}), 60)
            << "LED " << i << " lit after the blackout";
        continue;
      }
      int lit = m == 0 ? r : m == 1 ? g : b;
      EXPECT_GT(lit, 120) << "mark " << m << " LED " << i;
    }
  }
  std::filesystem::remove(path);
}

TEST(VirtualCamera, MovesWhileFilming) {
  FppSimulator fpp(onePort(4));
  std::string error;
  ASSERT_TRUE(fpp.start(&error)) << error;
  std::vector<PropLed> leds;
  for (int32_t i = 0; i < 4; ++i)
    leds.push_back({0, i, {-0.3 + 0.2 * i, 0, 0}, false});
  VirtualCameraConfig config;
  config.imaging.width = 160;
  config.imaging.height = 90;
  VirtualCamera camera(fpp, leds, config);
  const std::vector<ImagePoint> before = camera.groundTruth();
  ASSERT_TRUE(camera.start("", &error)) << error;
  CameraPose elsewhere;
  elsewhere.position = {1.5, 0, -4.8};
  elsewhere.yawDeg = -17;
  std::thread mover([&] {
    for (int i = 0; i < 20; ++i) {
      camera.moveTo(i % 2 ? elsewhere : config.pose);
      std::this_thread::sleep_for(5ms);
    }
  });
  std::this_thread::sleep_for(150ms);
  mover.join();
  camera.stop();
  EXPECT_GT(camera.framesDelivered(), 0);
  const std::vector<ImagePoint> after = camera.groundTruth();
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) {
    const ImagePoint expected =
        projectPoint(leds[i].world, elsewhere, 60, 160, 90);
    EXPECT_DOUBLE_EQ(after[i].x, expected.x);
    EXPECT_NE(after[i].x, before[i].x);
  }
}

}  // namespace
}  // namespace pxo::sim
