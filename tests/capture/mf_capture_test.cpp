// The Media Foundation pieces of the Windows build that the shared media
// tests (media_back_end_test.cpp) do not reach: cameras, the start-up
// count, and pictures out of the platform's buffers.

#include "capture/mf/mf_capture.h"

#include "capture/camera_list.h"
#include "capture/mf/mf_platform.h"

#include <cstring>

#include <gtest/gtest.h>

namespace pxowin {
namespace {

TEST(MediaFoundation, CamerasAreListedAndAMissingOneIsSaidSo) {
  std::vector<CameraDevice> cameras;
  std::string error;
  ASSERT_TRUE(enumerateCameras(&cameras, &error)) << error;
  for (const CameraDevice& camera : cameras) EXPECT_FALSE(camera.id.empty());
  if (mf::runningUnderWine()) {
    EXPECT_TRUE(cameras.empty());
  }

  MFCapture capture;
  EXPECT_FALSE(capture.start("no such camera", &error));
  EXPECT_EQ(error, "MFCreateDeviceSource failed");
  if (cameras.empty()) {
    EXPECT_FALSE(capture.start("", &error));
    EXPECT_EQ(error, "no video capture devices");
  }
  // A capture that never started stops, records and reads nothing.
  capture.stop();
  EXPECT_FALSE(capture.startRecording("never.mp4", &error));
  EXPECT_EQ(error, "not started");
  EXPECT_FALSE(capture.stopRecording());
  BgraFrame frame;
  EXPECT_FALSE(capture.extractFrame(0, 0, frame, &error));
  EXPECT_EQ(error, "no recording");
  EXPECT_FALSE(capture.lockedExposure());
}

TEST(MediaFoundation, TheStartUpCountIsSharedAndStartsAgain) {
  ASSERT_TRUE(mf::acquire());
  ASSERT_TRUE(mf::acquire());
  mf::release();
  mf::release();
  // Released to nothing (and a release too many ignored), then started
  // again: the functions work each time.
  mf::release();
  ASSERT_TRUE(mf::acquire());
  mf::ComPtr<IMFMediaType> type;
  EXPECT_TRUE(SUCCEEDED(mf::api().createMediaType(type.put())));
  type.reset();
  mf::release();
}

TEST(MediaFoundation, CameraControlsAreLockedAndPutBack) {
  std::vector<CameraDevice> cameras;
  ASSERT_TRUE(enumerateCameras(&cameras, nullptr));
  if (cameras.empty())
    GTEST_SKIP() << "Windows-only with a camera attached"
                 << (mf::runningUnderWine() ? " (Wine lists no cameras)" : "");
  MFCapture capture;
  std::string error;
  ASSERT_TRUE(capture.start(cameras.front().id, &error)) << error;
  ASSERT_TRUE(capture.waitForFrame(5));
  EXPECT_TRUE(capture.lockCameraControls(0.5f));
  if (auto exposure = capture.lockedExposure()) {
    ExposureSetting shorter = *exposure;
    shorter.seconds = exposure->minimumSeconds;
    EXPECT_TRUE(capture.setLockedExposure(shorter));
    EXPECT_NEAR(capture.lockedExposure()->seconds,
                exposure->minimumSeconds,
                exposure->minimumSeconds * 0.5);
  }
  capture.stop();
}

// NV12 as a decoder hands it over: 640 × 360 pictures in buffers of 368
// rows, the chroma plane after all of them.
TEST(MediaFoundation, PicturesComeOutOfPaddedAndBottomUpBuffers) {
  mf::VideoFormat nv12;
  nv12.pixels = mf::PixelFormat::kNv12;
  nv12.width = 640;
  nv12.height = 360;
  nv12.stride = 640;
  std::vector<uint8_t> buffer(640 * 368 * 3 / 2, 128);
  // Luma: black (16) above row 180, white (235) below; chroma neutral.
  std::memset(buffer.data(), 16, 640 * 180);
  std::memset(buffer.data() + 640 * 180, 235, 640 * 188);
  BgraFrame out;
  ASSERT_TRUE(mf::frameFromBytes(buffer.data(), buffer.size(), nv12, 0, &out));
  ASSERT_EQ(out.width, 640);
  ASSERT_EQ(out.height, 360);
  const uint8_t black[4] = {0, 0, 0, 255}, white[4] = {255, 255, 255, 255};
  EXPECT_EQ(std::memcmp(&out.pixels[0], black, 4), 0);
  EXPECT_EQ(std::memcmp(&out.pixels[out.pixels.size() - 4], white, 4), 0);
  // The chroma plane really is after 368 rows: a tinted chroma row there
  // tints the top of the picture.
  buffer[640 * 368] = 255;
  ASSERT_TRUE(mf::frameFromBytes(buffer.data(), buffer.size(), nv12, 0, &out));
  EXPECT_NE(std::memcmp(&out.pixels[0], black, 4), 0);
  // Reduced as the live view is.
  ASSERT_TRUE(
      mf::frameFromBytes(buffer.data(), buffer.size(), nv12, 320, &out));
  EXPECT_EQ(out.width, 320);
  EXPECT_EQ(out.height, 180);
  // Too short for its rows: no picture.
  EXPECT_FALSE(mf::frameFromBytes(buffer.data(), 640 * 300, nv12, 0, &out));

  // Bottom-up RGB32 (a negative stride) comes out top-down.
  mf::VideoFormat rgb;
  rgb.width = 4;
  rgb.height = 3;
  rgb.stride = -16;
  std::vector<uint8_t> rows(48);
  for (size_t i = 0; i < rows.size(); ++i)
    rows[i] = static_cast<uint8_t>(i / 16);  // memory row 0, 1, 2
  ASSERT_TRUE(mf::frameFromBytes(rows.data(), rows.size(), rgb, 0, &out));
  EXPECT_EQ(out.pixels[0], 2);
  EXPECT_EQ(out.pixels[47], 0);
  rgb.stride = 16;
  ASSERT_TRUE(mf::frameFromBytes(rows.data(), rows.size(), rgb, 0, &out));
  EXPECT_EQ(out.pixels[0], 0);
  // A 1920 × 1080 camera reduced for a probe.
  rgb.width = 1920;
  rgb.height = 1080;
  rgb.stride = 1920 * 4;
  std::vector<uint8_t> big(1920 * 1080 * 4, 7);
  ASSERT_TRUE(mf::frameFromBytes(big.data(), big.size(), rgb, 128, &out));
  EXPECT_EQ(out.width, 128);
  EXPECT_EQ(out.height, 72);
  EXPECT_FALSE(mf::frameFromBytes(big.data(), big.size() - 1, rgb, 0, &out));
}

}  // namespace
}  // namespace pxowin
