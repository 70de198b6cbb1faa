#include "capture/recorded_frames.h"
#include "capture/recording_source.h"

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace pxowin {
namespace {

// A source whose "camera" is the test: frames arrive when the test says.
class ManualSource : public RecordingCaptureSource {
 public:
  ~ManualSource() override { stop(); }
  bool start(const std::string&, std::string*) override { return true; }
  void stop() override { stopRecordingAndExtraction(); }
  void setExposure(float) override {}
  bool lockCameraControls(std::optional<float>) override { return true; }
  void push(const BgraFrame& frame, double time) { deliverFrame(frame, time); }
  // One access unit of a network camera's stream (its content unread).
  void pushUnit(double time) {
    deliverAccessUnit(
        "\0\0\0\1\x65", true, time, {}, [](BgraFrame*) { return false; });
  }
};

// A frame whose left half shows colour (b, g, r) and whose right half shows
// a small red, green and blue spot side by side.
BgraFrame pattern(int32_t w, int32_t h, uint8_t b, uint8_t g, uint8_t r) {
  BgraFrame f;
  f.width = w;
  f.height = h;
  f.stride = w * 4;
  f.pixels.assign(static_cast<size_t>(f.stride) * h, 0);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w / 2; ++x) {
      uint8_t* p = &f.pixels[static_cast<size_t>(y) * f.stride + 4 * x];
      p[0] = b;
      p[1] = g;
      p[2] = r;
      p[3] = 255;
    }
  // Three 2 × 2 spots 3 px apart: red, green, blue.
  for (int k = 0; k < 3; ++k)
    for (int32_t y = h / 2; y < h / 2 + 2; ++y)
      for (int32_t x = w / 2 + 10 + 3 * k; x < w / 2 + 12 + 3 * k; ++x) {
        uint8_t* p = &f.pixels[static_cast<size_t>(y) * f.stride + 4 * x];
        p[2 - k] = 220;
      }
  return f;
}

std::array<int, 3> bgrAt(const BgraFrame& f, int32_t x, int32_t y) {
  const uint8_t* p = &f.pixels[static_cast<size_t>(y) * f.stride + 4 * x];
  return {p[0], p[1], p[2]};
}

class Recording : public ::testing::Test {
 protected:
  void SetUp() override {
    path = std::filesystem::temp_directory_path() /
           (std::string("pxo-rec-") +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() +
            ".mp4");
    std::filesystem::remove(path);
  }
  void TearDown() override { std::filesystem::remove(path); }
  std::filesystem::path path;
};

TEST_F(Recording, MarksFindTheFramesThatWereShown) {
  ManualSource source;
  std::string error;
  ASSERT_TRUE(source.startRecording(path, &error)) << error;
  EXPECT_FALSE(source.waitForRecordedFrame(0.05));
  // 3 s at 30 fps with a new colour every 0.5 s; uneven frame times.
  const uint8_t levels[6] = {10, 60, 110, 160, 210, 250};
  double t = 100.0;  // the camera's own clock
  for (int frame = 0; frame < 90; ++frame) {
    int phase = frame / 15;
    if (frame % 15 == 0) source.addMark("phase " + std::to_string(phase));
    source.push(pattern(160, 90, levels[phase], 255 - levels[phase], 128), t);
    t += frame % 3 == 0 ? 0.040 : 0.030;
  }
  EXPECT_TRUE(source.waitForRecordedFrame(0.05));
  ASSERT_TRUE(source.stopRecording().has_value());
  EXPECT_FALSE(source.stopRecording().has_value());
  std::vector<CaptureMark> marks = source.takeMarks();
  EXPECT_TRUE(source.takeMarks().empty());
  ASSERT_EQ(marks.size(), 6u);
  EXPECT_EQ(marks[0].time, 0);  // nothing recorded yet when it was added
  source.stop();

  for (int phase = 0; phase < 6; ++phase) {
    BgraFrame frame;
    // A little after the mark, as the scan run reads it.
    ASSERT_TRUE(source.extractFrame(marks[phase].time + 0.06, 0, frame, &error))
        << error;
    ASSERT_EQ(frame.width, 160);
    auto [b, g, r] = bgrAt(frame, 20, 20);
    EXPECT_NEAR(b, levels[phase], 4) << "phase " << phase;
    EXPECT_NEAR(g, 255 - levels[phase], 4);
    EXPECT_NEAR(r, 128, 4);
    // The three spots keep their own colours: no chroma bleeding.
    for (int k = 0; k < 3; ++k) {
      auto spot = bgrAt(frame, 80 + 10 + 3 * k, 45);
      EXPECT_GT(spot[2 - k], 190) << "spot " << k;
      EXPECT_LT(spot[(2 - k + 1) % 3], 30) << "spot " << k;
      EXPECT_LT(spot[(2 - k + 2) % 3], 30) << "spot " << k;
    }
  }
  // Backwards again, and the same frame twice.
  BgraFrame again;
  ASSERT_TRUE(source.extractFrame(marks[1].time + 0.06, 64, again, &error));
  EXPECT_EQ(again.width, 64);
  EXPECT_EQ(again.height, 36);
  EXPECT_NEAR(bgrAt(again, 4, 4)[0], levels[1], 4);
  ASSERT_TRUE(source.extractFrame(marks[1].time + 0.06, 64, again, &error));

  BgraFrame none;
  EXPECT_FALSE(source.extractFrame(60.0, 0, none, &error));
  EXPECT_EQ(error, "no frame at requested time");
  EXPECT_TRUE(source.extractFrame(marks[5].time + 0.06, 0, none, &error))
      << error;
}

// The first frame asked of a long recording lies far in: it is found (by a
// seek, not by decoding everything before it), and so are frames on either
// side of it afterwards.
TEST_F(Recording, AFirstReadFarIntoALongRecording) {
  ManualSource source;
  std::string error;
  ASSERT_TRUE(source.startRecording(path, &error)) << error;
  // 15 s at 30 fps, a new level every second.
  double t = 0;
  for (int frame = 0; frame < 450; ++frame, t += 1 / 30.0) {
    if (frame % 30 == 0) source.addMark("second " + std::to_string(frame / 30));
    const auto level = static_cast<uint8_t>(10 + 16 * (frame / 30));
    source.push(pattern(64, 36, level, level, level), t);
  }
  ASSERT_TRUE(source.stopRecording().has_value());
  std::vector<CaptureMark> marks = source.takeMarks();
  ASSERT_EQ(marks.size(), 15u);
  source.stop();
  for (int second : {12, 13, 2, 14}) {
    BgraFrame frame;
    ASSERT_TRUE(source.extractFrame(marks[second].time + 0.5, 0, frame, &error))
        << "second " << second << ": " << error;
    EXPECT_NEAR(bgrAt(frame, 4, 4)[0], 10 + 16 * second, 4)
        << "second " << second;
  }
}

// Frames held up on their way (a busy machine decoding or encoding them)
// arrive later than their sample times say, by varying amounts. A mark is
// dated on the frames' clock as if the frames had come straight through,
// not from the newest frame's arrival: after a frame held up 60 ms it would
// be 60 ms early.
TEST_F(Recording, MarksAreDatedPastFramesHeldUpOnTheWay) {
  ManualSource source;
  std::string error;
  ASSERT_TRUE(source.startRecording(path, &error)) << error;
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  constexpr double kCameraClock = 50;  // the camera's clock at `start`
  auto cameraNow = [&] {
    return kCameraClock +
           std::chrono::duration<double>(Clock::now() - start).count();
  };
  double base = -1;
  std::vector<double> expected;
  for (int frame = 0; frame < 12; ++frame) {
    // Every other frame is held up 60 ms: its sample time lies that much
    // before its arrival.
    const bool heldUp = frame % 2 == 1;
    const double sample = cameraNow() - (heldUp ? 0.06 : 0);
    if (base < 0) base = sample;
    source.push(pattern(64, 36, 40, 40, 40), sample);
    if (heldUp) {
      expected.push_back(cameraNow() - base);
      source.addMark("after a held-up frame");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(source.stopRecording().has_value());
  const std::vector<CaptureMark> marks = source.takeMarks();
  ASSERT_EQ(marks.size(), expected.size());
  for (size_t i = 0; i < marks.size(); ++i)
    EXPECT_NEAR(marks[i].time, expected[i], 0.02) << "mark " << i;
}

// A second recording on a source that kept running: its frames are read
// from the new file, not from the one read last.
TEST_F(Recording, TheNextRecordingIsReadFromItsOwnFile) {
  ManualSource source;
  std::string error;
  const std::filesystem::path second =
      path.parent_path() / (path.stem().string() + "-2.mp4");
  double t = 0;
  BgraFrame frame;
  for (const auto& [file, level] :
       {std::pair{path, uint8_t{40}}, std::pair{second, uint8_t{200}}}) {
    ASSERT_TRUE(source.startRecording(file, &error)) << error;
    for (int i = 0; i < 20; ++i, t += 1.0 / 30)
      source.push(pattern(64, 36, level, level, level), t);
    ASSERT_TRUE(source.stopRecording().has_value());
    ASSERT_TRUE(source.extractFrame(0.3, 0, frame, &error)) << error;
    EXPECT_NEAR(bgrAt(frame, 4, 4)[0], level, 4);
  }
  source.stop();
  std::filesystem::remove(second);
}

// A reduced frame is the full frame reduced: the same pixels, whether the
// extractor reduces while converting or downscaleFrame does it after.
TEST_F(Recording, ReducedFramesAreTheFullFramesReduced) {
  ManualSource source;
  std::string error;
  ASSERT_TRUE(source.startRecording(path, &error)) << error;
  double t = 0;
  for (int frame = 0; frame < 20; ++frame, t += 1.0 / 30) {
    if (frame % 5 == 0) source.addMark("m");
    BgraFrame f = pattern(301, 170, uint8_t(40 * (frame / 5)), 90, 200);
    // Texture, so every sampled pixel tells which one it was.
    for (size_t i = 0; i < f.pixels.size(); i += 4)
      f.pixels[i + 1] = static_cast<uint8_t>((i / 4) * 37 % 251);
    source.push(f, t);
  }
  EXPECT_TRUE(source.waitForRecordedFrame(0.05));
  ASSERT_TRUE(source.stopRecording().has_value());
  std::vector<CaptureMark> marks = source.takeMarks();
  ASSERT_EQ(marks.size(), 4u);
  for (int32_t limit : {64, 150, 300}) {
    for (const CaptureMark& mark : {marks[2], marks[0], marks[3]}) {
      BgraFrame full, reduced;
      ASSERT_TRUE(source.extractFrame(mark.time + 0.01, 0, full, &error));
      ASSERT_TRUE(
          source.extractFrame(mark.time + 0.01, limit, reduced, &error));
      const BgraFrame expected = downscaleFrame(full, limit);
      ASSERT_EQ(reduced.width, expected.width) << limit;
      ASSERT_EQ(reduced.height, expected.height) << limit;
      EXPECT_EQ(reduced.pixels, expected.pixels) << limit;
    }
  }
}

// A recording asked to be reduced is written at the reduced size, with the
// pixels downscaleFrame keeps; the one after it is full size again.
TEST_F(Recording, OneRecordingReducedOnRequest) {
  ManualSource source;
  std::string error;
  const BgraFrame shown = pattern(160, 90, 30, 200, 90);
  for (int32_t limit : {64, 0}) {
    if (limit) source.reduceNextRecording(limit);
    ASSERT_TRUE(source.startRecording(path, &error)) << error;
    for (int frame = 0; frame < 6; ++frame) source.push(shown, frame / 30.0);
    ASSERT_TRUE(source.stopRecording().has_value());
    BgraFrame frame;
    ASSERT_TRUE(source.extractFrame(0.1, 0, frame, &error)) << error;
    const BgraFrame expected = downscaleFrame(shown, limit);
    ASSERT_EQ(frame.width, expected.width);
    ASSERT_EQ(frame.height, expected.height);
    EXPECT_NEAR(bgrAt(frame, 5, 5)[1], bgrAt(expected, 5, 5)[1], 4);
    source.stop();
  }
}

// Frames kept in memory while recording are read as they come, on another
// thread, and are the file's own: the same frame for every time asked (the
// same picture, to the bit, and the same time), at the decode size and at
// a probe's.
TEST_F(Recording, KeptFramesAreTheFilesOwnReadAsTheyCome) {
  ManualSource source;
  std::string error;
  std::shared_ptr<RecordedFrames> kept =
      source.keepFramesOfNextRecording(1024, size_t{64} << 20);
  ASSERT_TRUE(kept);
  ASSERT_TRUE(source.startRecording(path, &error)) << error;
  struct Asked {
    double time;
    int32_t size;
    BgraFrame frame;
    bool ok;
  };
  std::vector<Asked> asked;
  std::thread reader([&] {
    for (size_t k = 0; k < 6; ++k) {
      const std::optional<double> mark = kept->waitForMark(k);
      if (!mark) return;
      for (double after : {0.0, 0.06, 0.2})
        for (int32_t size : {1024, 64}) {
          Asked a{*mark + after, size, {}, false};
          a.ok = kept->frameAt(a.time, size, &a.frame);
          asked.push_back(std::move(a));
        }
    }
    // Past the last frame: answered (no frame) once the recording ended.
    Asked late{60.0, 1024, {}, false};
    late.ok = kept->frameAt(late.time, 1024, &late.frame);
    asked.push_back(std::move(late));
  });
  const uint8_t levels[6] = {10, 60, 110, 160, 210, 250};
  double t = 100.0;
  for (int frame = 0; frame < 100; ++frame) {
    const int phase = std::min(frame / 15, 5);
    if (frame % 15 == 0 && frame < 90)
      source.addMark("phase " + std::to_string(phase));
    BgraFrame f = pattern(301, 170, levels[phase], 255 - levels[phase], 90);
    for (size_t i = 0; i < f.pixels.size(); i += 4)
      f.pixels[i + 1] = static_cast<uint8_t>((i / 4) * 37 % 251);
    source.push(f, t);
    t += frame % 3 == 0 ? 0.040 : 0.030;
    // The camera's pace, so the reader waits for frames that have not come.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_TRUE(source.stopRecording().has_value());
  reader.join();
  EXPECT_EQ(kept->marks().size(), 6u);
  EXPECT_FALSE(kept->lost());
  ASSERT_EQ(asked.size(), 6u * 6 + 1);
  EXPECT_FALSE(asked.back().ok);
  asked.pop_back();
  for (const Asked& a : asked) {
    ASSERT_TRUE(a.ok) << a.time;
    BgraFrame fromFile;
    ASSERT_TRUE(source.extractFrame(a.time, a.size, fromFile, &error)) << error;
    EXPECT_DOUBLE_EQ(a.frame.timestamp, fromFile.timestamp) << a.time;
    ASSERT_EQ(a.frame.width, fromFile.width);
    ASSERT_EQ(a.frame.height, fromFile.height);
    EXPECT_TRUE(a.frame.pixels == fromFile.pixels) << a.time << " " << a.size;
  }
  // The next recording keeps nothing unless asked again.
  ASSERT_TRUE(source.startRecording(path, &error));
  source.push(pattern(64, 36, 1, 2, 3), 0);
  EXPECT_FALSE(kept->waitForMark(6));
  (void)source.stopRecording();
}

BgraFrame flat(uint8_t level) {
  BgraFrame f;
  f.width = 40;
  f.height = 30;
  f.stride = 160;
  f.pixels.assign(160u * 30, level);
  return f;
}

// What is held is bounded: frames let go by the reader, and the oldest
// beyond the bound, are gone; a read that needed one fails and says so
// (the scan then reads the file) instead of answering with another frame.
TEST(RecordedFrames, LetGoAndBounded) {
  const size_t frameBytes = flat(0).pixels.size();
  RecordedFrames kept(1024, 10 * frameBytes, 0.1);
  for (int i = 0; i < 8; ++i) kept.add(flat(static_cast<uint8_t>(i)), i * 0.1);
  BgraFrame frame;
  ASSERT_TRUE(kept.frameAt(0.25, 1024, &frame));
  EXPECT_DOUBLE_EQ(frame.timestamp, 0.2);  // shown from 0.2 to 0.3
  EXPECT_EQ(frame.pixels[0], 2);
  kept.release(0.35);
  ASSERT_TRUE(kept.frameAt(0.35, 1024, &frame));  // still shown there
  EXPECT_DOUBLE_EQ(frame.timestamp, 0.3);
  EXPECT_FALSE(kept.lost());
  EXPECT_FALSE(kept.frameAt(0.1, 1024, &frame));
  EXPECT_TRUE(kept.lost());

  RecordedFrames bounded(1024, 10 * frameBytes, 0.1);
  for (int i = 0; i < 30; ++i)
    bounded.add(flat(static_cast<uint8_t>(i)), i * 0.1);
  EXPECT_LE(bounded.peakBytes(), 10 * frameBytes);
  ASSERT_TRUE(bounded.frameAt(2.55, 1024, &frame));
  EXPECT_EQ(frame.pixels[0], 25);
  EXPECT_FALSE(bounded.lost());
  EXPECT_FALSE(bounded.frameAt(0.5, 1024, &frame));
  EXPECT_TRUE(bounded.lost());

  // A wait ends with the recording, and at its deadline.
  RecordedFrames waiting(1024, 10 * frameBytes, 0.1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(waiting.frameAt(
      1.0, 1024, &frame, start + std::chrono::milliseconds(50)));
  EXPECT_FALSE(waiting.waitForMark(0, start + std::chrono::milliseconds(50)));
  std::thread ender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    waiting.finish();
  });
  EXPECT_FALSE(waiting.waitForMark(0));
  ender.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// A network camera's stream is recorded as it came, undecoded: its frames
// are not kept, and a reader waiting for them is let go at once.
TEST_F(Recording, AStreamRecordedAsItCameIsNotKept) {
  ManualSource source;
  std::string error;
  std::shared_ptr<RecordedFrames> kept =
      source.keepFramesOfNextRecording(1024, size_t{64} << 20);
  ASSERT_TRUE(source.startRecording(path, &error)) << error;
  source.pushUnit(0);
  BgraFrame frame;
  EXPECT_FALSE(kept->frameAt(0, 1024, &frame));
  EXPECT_FALSE(kept->waitForMark(0));
  EXPECT_TRUE(kept->lost());
  (void)source.stopRecording();
}

TEST_F(Recording, Failures) {
  ManualSource source;
  BgraFrame frame;
  std::string error;
  EXPECT_FALSE(source.extractFrame(0, 0, frame, &error));
  EXPECT_EQ(error, "no recording");
  EXPECT_FALSE(source.stopRecording().has_value());

  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(source.startRecording(path, &error));
  EXPECT_FALSE(source.waitForRecordedFrame(0.3));
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(300));
  EXPECT_LT(waited, std::chrono::seconds(3));

  EXPECT_FALSE(source.startRecording("/nonexistent-folder/x.mp4", &error));
}

TEST(DownscaleFrame, NearestNeighbour) {
  BgraFrame big;
  big.width = 1920;
  big.height = 1080;
  big.stride = big.width * 4;
  big.pixels.assign(static_cast<size_t>(big.stride) * big.height, 0);
  big.pixels[static_cast<size_t>(1079) * big.stride + 1919 * 4] = 77;
  big.timestamp = 2.5;
  BgraFrame small = downscaleFrame(big, 128);
  EXPECT_EQ(small.width, 128);
  EXPECT_EQ(small.height, 72);
  EXPECT_EQ(small.stride, 512);
  EXPECT_EQ(small.timestamp, 2.5);
  EXPECT_EQ(downscaleFrame(big, 0).width, 1920);
  EXPECT_EQ(downscaleFrame(big, 1920).width, 1920);
}

}  // namespace
}  // namespace pxowin
