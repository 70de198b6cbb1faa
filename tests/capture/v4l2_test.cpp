#include "capture/v4l2/v4l2_capture.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace pxowin {
namespace {

TEST(YuyvToBgra, KnownColours) {
  // Two pixel pairs: white/black with neutral chroma, then pure-ish red.
  std::vector<uint8_t> yuyv = {235, 128, 16, 128, 81, 90, 81, 240};
  BgraFrame f;
  ASSERT_TRUE(yuyvToBgra(yuyv, 4, 1, &f));
  ASSERT_EQ(f.stride, 16);
  auto px = [&](int x) {
    return std::array<int, 3>{
        f.pixels[4 * x], f.pixels[4 * x + 1], f.pixels[4 * x + 2]};
  };
  EXPECT_EQ(px(0), (std::array<int, 3>{255, 255, 255}));
  EXPECT_EQ(px(1), (std::array<int, 3>{0, 0, 0}));
  auto red = px(2);
  EXPECT_NEAR(red[2], 255, 2);
  EXPECT_NEAR(red[1], 0, 2);
  EXPECT_NEAR(red[0], 0, 2);
  EXPECT_EQ(f.pixels[3], 255);
  // Too little data, odd or empty sizes.
  EXPECT_FALSE(yuyvToBgra(std::span(yuyv).first(7), 4, 1, &f));
  EXPECT_FALSE(yuyvToBgra(yuyv, 3, 1, &f));
  EXPECT_FALSE(yuyvToBgra(yuyv, 0, 1, &f));
}

// A JPEG made with libavcodec's own encoder: left half blue, right half
// orange.
std::vector<uint8_t> makeJpeg(int w, int h) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  AVCodecContext* c = avcodec_alloc_context3(codec);
  c->width = w;
  c->height = h;
  c->pix_fmt = AV_PIX_FMT_YUVJ444P;
  c->time_base = {1, 30};
  c->flags |= AV_CODEC_FLAG_QSCALE;
  c->global_quality = FF_QP2LAMBDA * 2;
  EXPECT_EQ(avcodec_open2(c, codec, nullptr), 0);
  AVFrame* frame = av_frame_alloc();
  frame->format = c->pix_fmt;
  frame->width = w;
  frame->height = h;
  av_frame_get_buffer(frame, 0);
  frame->quality = c->global_quality;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      bool left = x < w / 2;
      // Blue (40, 40, 200) and orange (230, 140, 20) in full-range BT.601.
      frame->data[0][y * frame->linesize[0] + x] = left ? 58 : 151;
      frame->data[1][y * frame->linesize[1] + x] = left ? 209 : 54;
      frame->data[2][y * frame->linesize[2] + x] = left ? 108 : 185;
    }
  AVPacket* packet = av_packet_alloc();
  avcodec_send_frame(c, frame);
  avcodec_send_frame(c, nullptr);
  std::vector<uint8_t> jpeg;
  if (avcodec_receive_packet(c, packet) == 0)
    jpeg.assign(packet->data, packet->data + packet->size);
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&c);
  return jpeg;
}

TEST(MjpegDecoder, DecodesCameraFrames) {
  std::vector<uint8_t> jpeg = makeJpeg(64, 32);
  ASSERT_FALSE(jpeg.empty());
  auto decoder = createMjpegDecoder();
  BgraFrame f;
  std::string error;
  ASSERT_TRUE(decoder->decode(jpeg, &f, &error)) << error;
  EXPECT_EQ(f.width, 64);
  EXPECT_EQ(f.height, 32);
  const uint8_t* blue = &f.pixels[static_cast<size_t>(16) * f.stride + 8 * 4];
  const uint8_t* orange =
      &f.pixels[static_cast<size_t>(16) * f.stride + 56 * 4];
  EXPECT_NEAR(blue[0], 200, 12);
  EXPECT_NEAR(blue[2], 40, 12);
  EXPECT_NEAR(orange[2], 230, 12);
  EXPECT_NEAR(orange[1], 140, 12);
  EXPECT_NEAR(orange[0], 20, 12);
  // Garbage is an error, not a crash; the decoder keeps working after it.
  std::vector<uint8_t> garbage(100, 0x5a);
  EXPECT_FALSE(decoder->decode(garbage, &f, &error));
  EXPECT_EQ(error, "could not decode MJPEG frame");
  EXPECT_TRUE(decoder->decode(jpeg, &f, &error));
}

TEST(V4l2Capture, WithoutCameras) {
  // A device folder holding only things that are not cameras.
  auto dir = std::filesystem::temp_directory_path() / "pxo-fake-dev";
  std::filesystem::create_directories(dir / "v4l" / "by-id");
  std::ofstream(dir / "video0") << "not a device";
  std::vector<CameraDevice> cameras;
  std::string error;
  EXPECT_TRUE(enumerateV4l2Cameras(dir.string(), &cameras, &error));
  EXPECT_TRUE(cameras.empty());
  std::filesystem::remove_all(dir);

  ASSERT_TRUE(enumerateCameras(&cameras, &error));
  if (!cameras.empty()) GTEST_SKIP() << "a camera is attached";
  V4l2Capture capture;
  EXPECT_FALSE(capture.start("", &error));
  EXPECT_EQ(error, "no video capture devices");
  EXPECT_FALSE(capture.start("/nonexistent/video9", &error));
  EXPECT_EQ(error, "could not open camera /nonexistent/video9");
  capture.stop();
  EXPECT_TRUE(capture.lockCameraControls(0.5f));  // nothing to freeze
}

}  // namespace
}  // namespace pxowin
