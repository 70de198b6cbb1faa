// The media back end as the scan uses it, the same checks for both builds:
// FFmpeg on Linux, Media Foundation on Windows (under Wine in CI). The
// samples in tests/data/media were written by the Linux build
// (make_media_samples); media_samples.h says what each frame shows.

#include "capture/media.h"
#include "capture/media_samples.h"
#include "capture/rtsp/h264_depacketizer.h"
#include "capture/stream_file.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

#include <gtest/gtest.h>
#include <unistd.h>

#ifdef _WIN32
#include "capture/mf/mf_platform.h"
#endif

namespace pxowin {
namespace {

const std::filesystem::path kSamples =
    std::filesystem::path(PXO_SOURCE_DIR) / "tests" / "data" / "media";

struct AccessUnit {
  std::string bytes;
  bool key = false;
  int32_t shown = 0;
};

std::vector<AccessUnit> readStream(const char* name = "stream.h264") {
  std::ifstream in(kSamples / name, std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)),
                  std::istreambuf_iterator<char>());
  std::vector<AccessUnit> units;
  auto bigEndian = [&](size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(all[at])) << 24 |
           static_cast<uint32_t>(static_cast<uint8_t>(all[at + 1])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(all[at + 2])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(all[at + 3]));
  };
  for (size_t at = 0; at + 9 <= all.size();) {
    const uint32_t size = bigEndian(at);
    if (at + 9 + size > all.size()) break;
    units.push_back({all.substr(at + 9, size),
                     all[at + 4] != 0,
                     static_cast<int32_t>(bigEndian(at + 5))});
    at += 9 + size;
  }
  return units;
}

// The NAL units of an Annex B access unit, start codes removed.
std::vector<std::string_view> nalUnits(std::string_view annexB) {
  std::vector<std::string_view> units;
  size_t start = std::string_view::npos;
  for (size_t i = 0; i + 3 <= annexB.size(); ++i) {
    if (annexB[i] == 0 && annexB[i + 1] == 0 && annexB[i + 2] == 1) {
      if (start != std::string_view::npos) {
        size_t end = i;
        while (end > start && annexB[end - 1] == 0) --end;
        units.push_back(annexB.substr(start, end - start));
      }
      start = i + 3;
      i += 2;
    }
  }
  if (start != std::string_view::npos && start < annexB.size())
    units.push_back(annexB.substr(start));
  return units;
}

bool underWine() {
#ifdef _WIN32
  return mf::runningUnderWine();
#else
  return false;
#endif
}

#ifdef _WIN32
// Wine 8 can crash a process that ends while the work-queue threads
// MFShutdown let go are still ending (a segfault in its own thread exit,
// after every test has passed; about one run in twenty of the recording
// reader's test). Under Wine this program keeps one start-up count until it
// ends, as a program that uses Media Foundation throughout would; every
// object under test still takes and gives back its own.
class WineKeepsMediaFoundationStarted : public ::testing::Environment {
 public:
  void SetUp() override {
    if (underWine() && !held_) held_ = mf::acquire();
  }

 private:
  bool held_ = false;
};

[[maybe_unused]] ::testing::Environment* const kKeepStarted =
    ::testing::AddGlobalTestEnvironment(new WineKeepsMediaFoundationStarted);
#endif

// The SPS and PPS in front of a key frame.
std::pair<std::string_view, std::string_view> parameterSets(
    const AccessUnit& unit) {
  std::pair<std::string_view, std::string_view> sets;
  for (std::string_view nal : nalUnits(unit.bytes)) {
    if ((nal[0] & 0x1f) == 7) sets.first = nal;
    if ((nal[0] & 0x1f) == 8) sets.second = nal;
  }
  return sets;
}

// A platform step the build runs under cannot do: only Wine's Media
// Foundation, which lacks the MPEG-4 sink writer and the H.264 encoder.
bool cannotRecordHere(const std::string& error) {
  return underWine() && error == "MFCreateSinkWriterFromURL failed";
}

constexpr char kWindowsOnly[] =
    "Windows-only: Wine's Media Foundation has no MPEG-4 sink writer and no "
    "H.264 encoder, so it cannot record";

// Reads the first `frames` sample frames of a recording at a time inside
// each, in order, then back and forth, reduced, and past its end.
void expectFramesReadBack(const std::filesystem::path& file,
                          int32_t frames = samples::kFrames) {
  auto extractor = createRecordingReader();
  std::string error;
  ASSERT_TRUE(extractor->open(file, &error)) << error;
  const double frame = 1 / samples::kFps;
  BgraFrame out;
  for (int32_t i = 0; i < frames; ++i) {
    // Just after the frame's own time: the frame before it no longer
    // reaches it.
    ASSERT_TRUE(extractor->frameAt(i * frame + 0.2 * frame, 0, &out, &error))
        << "frame " << i << ": " << error;
    ASSERT_EQ(out.width, samples::kWidth);
    ASSERT_EQ(out.height, samples::kHeight);
    EXPECT_EQ(samples::whichFrame(out), i) << "at frame " << i;
    // At its own time: the first at 0, where the marks count from.
    EXPECT_NEAR(out.timestamp, i * frame, 1e-3);
  }
  // Back to the start (a seek), then on to the middle, reduced as the
  // scan's probes are.
  ASSERT_TRUE(extractor->frameAt(0.01, 0, &out, &error)) << error;
  EXPECT_EQ(samples::whichFrame(out), 0);
  ASSERT_TRUE(extractor->frameAt(20 * frame + 0.2 * frame, 128, &out, &error))
      << error;
  EXPECT_EQ(out.width, 128);
  EXPECT_EQ(out.height, 72);
  EXPECT_EQ(out.stride, 128 * 4);
  EXPECT_EQ(samples::whichFrame(out), 20);
  EXPECT_FALSE(
      extractor->frameAt(samples::kFrames * frame + 1, 0, &out, &error));
  EXPECT_EQ(error, "no frame at requested time");
  // Still readable after reading past the end.
  ASSERT_TRUE(extractor->frameAt(10 * frame + 0.2 * frame, 0, &out, &error))
      << error;
  EXPECT_EQ(samples::whichFrame(out), 10);
}

TEST(MediaBackEnd, ReadsTheLinuxRecordingsFramesAtTheirTimes) {
  expectFramesReadBack(kSamples / "frames.mp4");
}

TEST(MediaBackEnd, AFileThatIsNoRecordingIsRefused) {
  auto extractor = createFrameExtractor();
  std::string error;
  EXPECT_FALSE(extractor->open(kSamples / "missing.mp4", &error));
  EXPECT_EQ(error, "could not open recording for extraction");
  EXPECT_FALSE(extractor->isOpen());
  BgraFrame out;
  EXPECT_FALSE(extractor->frameAt(0, 0, &out, &error));
  EXPECT_EQ(error, "extractor not open");
}

TEST(MediaBackEnd, DecodesTheNetworkCamerasStreamLive) {
  const auto units = readStream();
  ASSERT_GE(units.size(), 40u);
  auto decoder = createH264Decoder();
  std::string error;
  ASSERT_TRUE(decoder->open("", &error)) << error;
  std::vector<int32_t> shown;
  BgraFrame out;
  for (const AccessUnit& unit : units) {
    if (!decoder->decode(unit.bytes, 320, &out)) continue;
    EXPECT_EQ(out.width, 320);
    EXPECT_EQ(out.height, 180);
    shown.push_back(samples::whichFrame(out));
  }
  decoder->close();
  // A decoder may hold a few pictures back; those it shows come in order,
  // each once, the first of them the first frame.
  ASSERT_GE(shown.size(), units.size() - 4);
  for (size_t i = 0; i < shown.size(); ++i)
    EXPECT_EQ(shown[i], static_cast<int32_t>(i)) << "picture " << i;
}

TEST(MediaBackEnd, CameraFramesRecordedAreReadBack) {
  const auto file = std::filesystem::temp_directory_path() /
                    ("pxo_media_record_" + std::to_string(::getpid()) + ".mp4");
  auto writer = createRecordingWriter();
  std::string error;
  if (!writer->open(
          file, samples::kWidth, samples::kHeight, samples::kFps, &error)) {
    if (cannotRecordHere(error)) GTEST_SKIP() << kWindowsOnly;
    FAIL() << error;
  }
  for (int32_t i = 0; i < samples::kFrames; ++i) {
    const BgraFrame frame = samples::frame(i);
    ASSERT_TRUE(writer->write(frame, frame.timestamp)) << "frame " << i;
  }
  // A frame of another size is refused, not written.
  BgraFrame wrong = samples::frame(0);
  wrong.width = 320;
  EXPECT_FALSE(writer->write(wrong, 10));
  ASSERT_TRUE(writer->finish(&error)) << error;
  expectFramesReadBack(file);
  std::filesystem::remove(file);
}

TEST(MediaBackEnd, TheNetworkCamerasStreamIsRecordedAsItCame) {
  const auto units = readStream();
  ASSERT_FALSE(units.empty());
  ASSERT_TRUE(units.front().key);
  const auto [sps, pps] = parameterSets(units.front());
  ASSERT_FALSE(sps.empty());
  ASSERT_FALSE(pps.empty());
  int32_t width = 0, height = 0;
  ASSERT_TRUE(pxo::readSpsSize(sps, &width, &height));
  EXPECT_EQ(width, samples::kWidth);
  EXPECT_EQ(height, samples::kHeight);

  const auto file = std::filesystem::temp_directory_path() /
                    ("pxo_media_stream_" + std::to_string(::getpid()) + ".mp4");
  auto writer = createEncodedRecordingWriter();
  std::string error;
  if (!writer->open(file, width, height, sps, pps, &error)) {
    if (cannotRecordHere(error)) GTEST_SKIP() << kWindowsOnly;
    FAIL() << error;
  }
  for (const AccessUnit& unit : units) {
    const auto micros =
        static_cast<int64_t>(std::llround(unit.shown * 1e6 / samples::kFps));
    ASSERT_TRUE(writer->write(unit.bytes, micros, micros, unit.key));
  }
  ASSERT_TRUE(writer->finish(&error)) << error;
  expectFramesReadBack(file);
  std::filesystem::remove(file);
}

// A network camera's stream in a stream file (where MP4 cannot be written)
// reads back through the decoder, each picture at its own time: without
// B-frames, and with them (units in decode order, pictures shown in
// another).
void expectStreamFileReadBack(const char* sample) {
  const auto units = readStream(sample);
  ASSERT_FALSE(units.empty());
  const auto [sps, pps] = parameterSets(units.front());
  const auto file = std::filesystem::temp_directory_path() /
                    ("pxo_stream_file_" + std::to_string(::getpid()) + ".mp4");
  auto writer = createStreamFileWriter();
  std::string error;
  ASSERT_TRUE(
      writer->open(file, samples::kWidth, samples::kHeight, sps, pps, &error))
      << error;
  int32_t decodeIndex = 0;
  for (const AccessUnit& unit : units) {
    const auto micros =
        static_cast<int64_t>(std::llround(unit.shown * 1e6 / samples::kFps));
    const auto decodeMicros = static_cast<int64_t>(
        std::llround((decodeIndex++ - 2) * 1e6 / samples::kFps));
    ASSERT_TRUE(writer->write(unit.bytes, micros, decodeMicros, unit.key));
  }
  ASSERT_TRUE(writer->finish(&error)) << error;
  EXPECT_TRUE(isStreamFile(file));
  // A decoder may keep the last pictures until a drain that not every
  // platform's answers: all but the last two are read.
  expectFramesReadBack(file, static_cast<int32_t>(units.size()) - 2);
  std::filesystem::remove(file);
}

TEST(MediaBackEnd, AStreamFileIsReadBackThroughTheDecoder) {
  expectStreamFileReadBack("stream.h264");
}

TEST(MediaBackEnd, AStreamFileWithBFramesIsReadBackInShowingOrder) {
  const auto units = readStream("stream_bframes.h264");
  // The sample really reorders.
  ASSERT_TRUE(std::any_of(units.begin(), units.end(), [&](const AccessUnit& u) {
    return u.shown != static_cast<int32_t>(&u - units.data());
  }));
  expectStreamFileReadBack("stream_bframes.h264");
}

TEST(MediaBackEnd, AFileThatIsNoStreamFileIsReadByThePlatform) {
  EXPECT_FALSE(isStreamFile(kSamples / "frames.mp4"));
  EXPECT_FALSE(isStreamFile(kSamples / "missing.mp4"));
  // A stream file cut short in its header is refused as no recording.
  const auto file = std::filesystem::temp_directory_path() /
                    ("pxo_cut_stream_" + std::to_string(::getpid()) + ".mp4");
  {
    std::ofstream out(file, std::ios::binary);
    out << kStreamFileHeader << "\x80\x02";
  }
  auto reader = createRecordingReader();
  std::string error;
  EXPECT_FALSE(reader->open(file, &error));
  EXPECT_EQ(error, "could not open recording for extraction");
  std::filesystem::remove(file);
}

// A damaged stream file may claim any time for its units: those past a
// year from the start end what is read, and the steps between the rest stay
// in range (times at both ends of 64 bits once overflowed here).
void expectWildTimesReadSafely(std::initializer_list<int64_t> times) {
  const auto file = std::filesystem::temp_directory_path() /
                    ("pxo_wild_stream_" + std::to_string(::getpid()) + ".mp4");
  // The writer takes any time it is given, as a damaged file may hold.
  auto writer = createStreamFileWriter();
  std::string error;
  ASSERT_TRUE(writer->open(file, 64, 64, "x", "x", &error)) << error;
  for (int64_t time : times) ASSERT_TRUE(writer->write("z", time, time, true));
  ASSERT_TRUE(writer->finish(&error)) << error;
  auto reader = createRecordingReader();
  if (reader->open(file, &error)) {
    BgraFrame frame;
    for (double time : {0.0, 1e30, -1e30, std::nan("")})
      EXPECT_FALSE(reader->frameAt(time, 64, &frame, &error));
  } else {
    EXPECT_EQ(error, "could not open recording for extraction");
  }
  reader.reset();  // Windows keeps an open file
  std::filesystem::remove(file);
}

TEST(MediaBackEnd, AStreamFileClaimingImpossibleTimesIsReadUpToThem) {
  expectWildTimesReadSafely({6926536229407752192, -5010471614038999511});
  expectWildTimesReadSafely({0,
                             std::numeric_limits<int64_t>::max() - 10,
                             std::numeric_limits<int64_t>::min()});
}

}  // namespace
}  // namespace pxowin
