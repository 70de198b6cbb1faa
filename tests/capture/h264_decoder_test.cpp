// Our own 4:2:0 conversion, live H.264 decoding and the pass-through
// recording: a stream encoded here, decoded, muxed as it is and read back.

#include "capture/decode_timeline.h"
#include "capture/media.h"
#include "capture/pixel_convert.h"

#include <filesystem>
#include <set>
#include <vector>

#include <gtest/gtest.h>

namespace pxowin {
namespace {

struct Picture {
  std::vector<uint8_t> y, u, v, uv;
  int32_t width, height;
  Picture(int32_t w, int32_t h, uint8_t luma, uint8_t cb, uint8_t cr)
      : y(size_t(w) * h, luma),
        u(size_t(w / 2) * (h / 2), cb),
        v(size_t(w / 2) * (h / 2), cr),
        width(w),
        height(h) {
    for (size_t i = 0; i < u.size(); ++i) {
      uv.push_back(u[i]);
      uv.push_back(v[i]);
    }
  }
  Yuv420Planes planar() const {
    return {y.data(), u.data(), v.data(), width, width / 2, 1, width, height};
  }
  Yuv420Planes nv12() const {
    return {y.data(), uv.data(), uv.data() + 1, width, width, 2, width, height};
  }
};

std::array<uint8_t, 4> pixel(const BgraFrame& frame, int32_t x, int32_t y) {
  const uint8_t* p = frame.pixels.data() + size_t(y) * frame.stride + 4 * x;
  return {p[0], p[1], p[2], p[3]};
}

TEST(Yuv420ToBgra, LimitedRangeBlackWhiteAndColour) {
  BgraFrame out;
  ASSERT_TRUE(yuv420ToBgra(Picture(4, 2, 16, 128, 128).planar(), 0, &out));
  EXPECT_EQ(pixel(out, 3, 1), (std::array<uint8_t, 4>{0, 0, 0, 255}));
  ASSERT_TRUE(yuv420ToBgra(Picture(4, 2, 235, 128, 128).nv12(), 0, &out));
  EXPECT_EQ(pixel(out, 0, 0), (std::array<uint8_t, 4>{255, 255, 255, 255}));
  // BT.601 red (Y 81, Cb 90, Cr 240) comes back red whichever layout.
  BgraFrame planar, nv12;
  const Picture red(4, 2, 81, 90, 240);
  ASSERT_TRUE(yuv420ToBgra(red.planar(), 0, &planar));
  ASSERT_TRUE(yuv420ToBgra(red.nv12(), 0, &nv12));
  EXPECT_EQ(planar.pixels, nv12.pixels);
  const auto p = pixel(planar, 1, 1);
  EXPECT_LE(p[0], 2);
  EXPECT_LE(p[1], 2);
  EXPECT_GE(p[2], 253);
  EXPECT_FALSE(yuv420ToBgra(Picture(0, 0, 16, 128, 128).planar(), 0, &out));
}

TEST(Yuv420ToBgra, ChromaIsSharedByTwoByTwoAndPicturesShrinkTo640) {
  // Left half blue, right half red, in chroma only.
  Picture picture(8, 4, 100, 128, 128);
  for (int32_t row = 0; row < 2; ++row)
    for (int32_t col = 0; col < 4; ++col) {
      const size_t i = size_t(row) * 4 + col;
      picture.u[i] = col < 2 ? 240 : 90;
      picture.v[i] = col < 2 ? 110 : 240;
    }
  BgraFrame out;
  ASSERT_TRUE(yuv420ToBgra(picture.planar(), 0, &out));
  EXPECT_GT(pixel(out, 3, 3)[0], pixel(out, 3, 3)[2]);  // blue wins left
  EXPECT_GT(pixel(out, 4, 0)[2], pixel(out, 4, 0)[0]);  // red wins right

  const Picture big(1920, 1080, 120, 128, 128);
  ASSERT_TRUE(yuv420ToBgra(big.planar(), 640, &out));
  EXPECT_EQ(out.width, 640);
  EXPECT_EQ(out.height, 360);
  EXPECT_EQ(out.stride, 640 * 4);
  EXPECT_EQ(out.pixels.size(), size_t(640) * 360 * 4);
  const Picture vga(640, 480, 120, 128, 128);
  ASSERT_TRUE(yuv420ToBgra(vga.nv12(), 640, &out));
  EXPECT_EQ(out.width, 640);
  EXPECT_EQ(out.height, 480);
}

BgraFrame testCard(int32_t width, int32_t height, int32_t shift) {
  BgraFrame frame;
  frame.width = width;
  frame.height = height;
  frame.stride = width * 4;
  frame.pixels.resize(size_t(frame.stride) * height);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) {
      uint8_t* p = frame.pixels.data() + size_t(y) * frame.stride + 4 * x;
      const bool left = x < width / 2;
      p[0] = left ? 200 : 30;                    // blue left
      p[1] = ((x + shift) / 16) % 2 ? 180 : 40;  // moving green bars
      p[2] = left ? 30 : 200;                    // red right
      p[3] = 255;
    }
  return frame;
}

// The SPS and PPS in front of a key frame.
void parameterSets(const std::string& unit,
                   std::string* sps,
                   std::string* pps) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 4 <= unit.size(); ++i)
    if (unit.compare(i, 4, std::string("\0\0\0\1", 4)) == 0)
      starts.push_back(i + 4);
  for (size_t s = 0; s < starts.size(); ++s) {
    const size_t end = s + 1 < starts.size() ? starts[s + 1] - 4 : unit.size();
    const std::string nal = unit.substr(starts[s], end - starts[s]);
    if ((nal[0] & 0x1f) == 7) *sps = nal;
    if ((nal[0] & 0x1f) == 8) *pps = nal;
  }
}

// How many of the moving bars along row `y` agree with test card `i`.
int barsAgreeing(const BgraFrame& frame, int32_t i, int32_t y) {
  const BgraFrame expected = testCard(frame.width, frame.height, i);
  int agree = 0;
  for (int32_t x = 0; x < frame.width; x += 4)
    agree += (pixel(frame, x, y)[1] > 110) == (pixel(expected, x, y)[1] > 110);
  return agree;
}

TEST(H264Stream, EncodedDecodedLiveAndRecordedWithoutReencoding) {
  auto encoder = createH264StreamEncoder();
  std::string error;
  ASSERT_TRUE(encoder->open(1280, 720, 30, 15, 0, &error)) << error;
  auto decoder = createH264Decoder();
  ASSERT_TRUE(decoder->open("", &error)) << error;

  const auto path = std::filesystem::temp_directory_path() /
                    ("pxo-h264-" + std::to_string(::getpid()) + ".mp4");
  auto writer = createEncodedRecordingWriter();
  std::vector<std::string> units;
  std::vector<bool> keys;
  int decoded = 0;
  for (int i = 0; i < 40; ++i) {
    std::string unit;
    bool key = false;
    int64_t shown = -1;
    ASSERT_TRUE(
        encoder->encode(testCard(1280, 720, i), i == 20, &unit, &key, &shown));
    EXPECT_EQ(shown, i);  // no B-frames: each unit shows the frame just in
    units.push_back(unit);
    keys.push_back(key);
    BgraFrame live;
    if (decoder->decode(unit, 640, &live)) {
      ++decoded;
      EXPECT_EQ(live.width, 640);
      EXPECT_EQ(live.height, 360);
      const auto left = pixel(live, 100, 200), right = pixel(live, 540, 200);
      EXPECT_GT(left[0], left[2] + 100);    // blue
      EXPECT_GT(right[2], right[0] + 100);  // red
    }
  }
  EXPECT_EQ(decoded, 40);  // no B-frames, low delay: one picture per unit
  EXPECT_TRUE(keys[0]);
  EXPECT_TRUE(keys[15]);
  EXPECT_TRUE(keys[20]);  // asked for
  EXPECT_FALSE(keys[1]);

  // The parameter sets travel in front of every key frame; the recording
  // takes them from the first.
  std::string sps, pps;
  parameterSets(units[0], &sps, &pps);
  ASSERT_FALSE(sps.empty());
  ASSERT_FALSE(pps.empty());
  ASSERT_TRUE(writer->open(path, 1280, 720, sps, pps, &error)) << error;
  for (size_t i = 0; i < units.size(); ++i) {
    const auto time = static_cast<int64_t>(i) * 1000000 / 30;
    ASSERT_TRUE(writer->write(units[i], time, time, keys[i]));
  }
  ASSERT_TRUE(writer->finish(&error)) << error;
  // Pass-through: the file holds the units' bytes, not a new encoding.
  size_t total = 0;
  for (const auto& unit : units) total += unit.size();
  EXPECT_LT(std::filesystem::file_size(path), total + 4096);

  auto extractor = createFrameExtractor();
  ASSERT_TRUE(extractor->open(path, &error)) << error;
  for (int i : {0, 7, 21, 39}) {
    BgraFrame frame;
    // Just past the frame's start: at its exact start the frame before
    // (whose time + duration reaches it) is the one shown.
    ASSERT_TRUE(extractor->frameAt(i / 30.0 + 0.005, 0, &frame, &error))
        << error;
    EXPECT_EQ(frame.width, 1280);
    EXPECT_EQ(frame.height, 720);
    EXPECT_NEAR(frame.timestamp, i / 30.0, 0.002);
    // The moving bars say which frame it is.
    EXPECT_GT(barsAgreeing(frame, i, 360), 300) << "frame " << i;
  }
  extractor->close();
  std::filesystem::remove(path);
}

// What many cameras send: B-frames, so the units come in decode order and
// their presentation times go back and forth. Recorded with the decode
// times the timeline gives, every frame time shows its own picture.
TEST(H264Stream, BFramesRecordedInDecodeOrderShowTheirOwnPictures) {
  auto encoder = createH264StreamEncoder();
  std::string error;
  ASSERT_TRUE(encoder->open(640, 360, 30, 30, 3, &error)) << error;
  constexpr int kFrames = 90;
  DecodeTimeline timeline;
  const auto path = std::filesystem::temp_directory_path() /
                    ("pxo-bframes-" + std::to_string(::getpid()) + ".mp4");
  auto writer = createEncodedRecordingWriter();
  int backwards = 0, units = 0;
  int64_t lastShown = -1;
  std::set<int64_t> given;  // the frames out of the encoder
  for (int i = 0; i < kFrames; ++i) {
    std::string unit;
    bool key = false;
    int64_t shown = -1;
    if (!encoder->encode(testCard(640, 360, i), false, &unit, &key, &shown))
      continue;  // held back for the B-frames
    if (units++ == 0) {
      ASSERT_TRUE(key);
      std::string sps, pps;
      parameterSets(unit, &sps, &pps);
      ASSERT_TRUE(writer->open(path, 640, 360, sps, pps, &error)) << error;
    }
    backwards += shown < lastShown;
    lastShown = shown;
    given.insert(shown);
    timeline.push(unit, shown * 1000000 / 30, key);
    while (auto ready = timeline.next())
      ASSERT_TRUE(writer->write(
          ready->data, ready->presentation, ready->decode, ready->keyFrame));
  }
  timeline.finish();
  while (auto ready = timeline.next())
    ASSERT_TRUE(writer->write(
        ready->data, ready->presentation, ready->decode, ready->keyFrame));
  EXPECT_TRUE(timeline.failed().empty()) << timeline.failed();
  ASSERT_TRUE(writer->finish(&error)) << error;
  EXPECT_GT(backwards, 10) << "the encoder made no B-frames";

  // Every frame the encoder gave out, each at its own time (those it still
  // held at the end are B-frames never given out).
  auto extractor = createFrameExtractor();
  ASSERT_TRUE(extractor->open(path, &error)) << error;
  ASSERT_EQ(given.size(), size_t(units));
  int right = 0;
  for (const int64_t shown : given) {
    const auto i = static_cast<int32_t>(shown);
    BgraFrame frame;
    ASSERT_TRUE(extractor->frameAt(i / 30.0 + 0.005, 0, &frame, &error))
        << error << " at frame " << i;
    EXPECT_NEAR(frame.timestamp, i / 30.0, 0.002) << "frame " << i;
    const int agree = barsAgreeing(frame, i, 180);
    right += agree > 150;
    EXPECT_GT(agree, 150) << "frame " << i;
  }
  EXPECT_EQ(right, units);
  extractor->close();
  std::filesystem::remove(path);
}

TEST(H264Stream, BadInputIsRefused) {
  auto decoder = createH264Decoder();
  BgraFrame out;
  EXPECT_FALSE(decoder->decode(std::string(100, '\x55'), 640, &out));
  std::string error;
  ASSERT_TRUE(decoder->open("", &error));
  EXPECT_FALSE(decoder->decode("", 640, &out));
  EXPECT_FALSE(
      decoder->decode(std::string("\0\0\0\1\x65garbage", 12), 640, &out));
  auto writer = createEncodedRecordingWriter();
  EXPECT_FALSE(
      writer->open("/nonexistent/dir/x.mp4", 64, 64, "\x67", "\x68", &error));
  EXPECT_FALSE(writer->write("\0\0\0\1\x65", 0, 0, true));
  EXPECT_FALSE(writer->open("/tmp/x.mp4", 0, 0, "", "", &error));
}

}  // namespace
}  // namespace pxowin
