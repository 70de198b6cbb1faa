// The rig's raw test recording, written and read back as a scan reads a
// recording: each frame at its own time, exactly as it was filmed.

#include "sim/raw_recording.h"

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace pxo::sim {
namespace {

using pxowin::BgraFrame;

BgraFrame solidFrame(int32_t width, int32_t height, uint8_t shade) {
  BgraFrame frame;
  frame.width = width;
  frame.height = height;
  frame.stride = width * 4;
  frame.pixels.assign(static_cast<size_t>(frame.stride) * height, 255);
  for (size_t i = 0; i < frame.pixels.size(); i += 4) {
    frame.pixels[i] = shade;
    frame.pixels[i + 1] = static_cast<uint8_t>(shade + 1);
    frame.pixels[i + 2] = static_cast<uint8_t>(shade + 2);
  }
  return frame;
}

class RawRecording : public ::testing::Test {
 protected:
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  const std::filesystem::path path_ =
      std::filesystem::temp_directory_path() /
      ("pxo-raw-" +
       std::to_string(
           ::testing::UnitTest::GetInstance()->current_test_info()->line()) +
       ".raw");
};

TEST_F(RawRecording, FramesComeBackAtTheirTimes) {
  auto writer = createRawRecordingWriter();
  std::string error;
  ASSERT_TRUE(writer->open(path_, 8, 6, 10, &error)) << error;
  ASSERT_TRUE(writer->write(solidFrame(8, 6, 10), 0.0));
  ASSERT_TRUE(writer->write(solidFrame(8, 6, 40), 0.1));
  // A repeated time moves just after the one before.
  ASSERT_TRUE(writer->write(solidFrame(8, 6, 70), 0.1));
  EXPECT_FALSE(writer->write(solidFrame(4, 6, 0), 0.3));  // another size
  ASSERT_TRUE(writer->finish(&error)) << error;

  auto reader = createRawRecordingReader();
  ASSERT_TRUE(reader->open(path_, &error)) << error;
  BgraFrame frame;
  ASSERT_TRUE(reader->frameAt(0.05, 0, &frame, &error)) << error;
  EXPECT_EQ(frame.timestamp, 0.0);
  ASSERT_TRUE(reader->frameAt(0.15, 0, &frame, &error)) << error;
  EXPECT_EQ(frame.timestamp, 0.1);
  EXPECT_EQ(frame.pixels, solidFrame(8, 6, 40).pixels);
  // A frame is shown for a frame's duration after its time.
  ASSERT_TRUE(reader->frameAt(0.2 + 5e-7, 0, &frame, &error)) << error;
  EXPECT_GT(frame.timestamp, 0.1);
  EXPECT_EQ(frame.pixels, solidFrame(8, 6, 70).pixels);
  EXPECT_FALSE(reader->frameAt(0.5, 0, &frame, &error));
  EXPECT_EQ(error, "no frame at requested time");
}

TEST_F(RawRecording, AFileCutShortOrOfAnotherKindIsRefusedWhereItFails) {
  auto writer = createRawRecordingWriter();
  std::string error;
  ASSERT_TRUE(writer->open(path_, 8, 6, 30, &error));
  ASSERT_TRUE(writer->write(solidFrame(8, 6, 10), 0.0));
  ASSERT_TRUE(writer->write(solidFrame(8, 6, 20), 1 / 30.0));
  ASSERT_TRUE(writer->finish(&error));
  // The second frame loses its last pixels.
  std::filesystem::resize_file(path_, std::filesystem::file_size(path_) - 5);
  auto reader = createRawRecordingReader();
  ASSERT_TRUE(reader->open(path_, &error)) << error;
  BgraFrame frame;
  EXPECT_TRUE(reader->frameAt(0, 0, &frame, &error));
  EXPECT_FALSE(reader->frameAt(1 / 30.0 + 0.01, 0, &frame, &error));

  { std::ofstream(path_, std::ios::binary) << "PIXORIA RAW TEST RECORDIN"; }
  EXPECT_FALSE(reader->open(path_, &error));
  EXPECT_EQ(error, "could not open recording for extraction");
  EXPECT_FALSE(reader->isOpen());
}

}  // namespace
}  // namespace pxo::sim
