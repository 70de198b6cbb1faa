// Writes the sample media of media_samples.h with the Linux build's own
// writer and encoder, for the Windows build's readers to read under Wine:
//   make_media_samples DIR
// DIR/stream.h264  the frames as a network camera sends them (4:2:0, no
//                  B-frames), one access unit per record: 4-byte
//                  big-endian length, 1 byte key frame, 4-byte big-endian
//                  shown frame, the Annex B bytes
// DIR/frames.mp4   the same stream recorded as it came (MP4): the kind of
//                  file a Windows recording is. (The Linux writer's own
//                  files are 4:4:4, which Windows' decoder does not read.)
// DIR/stream_bframes.h264  the same with two B-frames between the
//                  reference pictures (units in decode order)

#include "capture/media.h"
#include "capture/media_samples.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>

using namespace pxowin;

namespace {

void putBigEndian(std::ofstream& out, uint32_t value) {
  const char bytes[4] = {static_cast<char>(value >> 24),
                         static_cast<char>(value >> 16),
                         static_cast<char>(value >> 8),
                         static_cast<char>(value)};
  out.write(bytes, 4);
}

// The SPS and PPS of a key frame's access unit (start codes removed).
std::pair<std::string, std::string> parameterSets(std::string_view annexB) {
  std::pair<std::string, std::string> sets;
  size_t at = annexB.find(std::string_view("\0\0\1", 3));
  while (at != std::string_view::npos) {
    const size_t start = at + 3;
    size_t next = annexB.find(std::string_view("\0\0\1", 3), start);
    size_t end = next == std::string_view::npos ? annexB.size() : next;
    while (end > start && annexB[end - 1] == 0) --end;
    const std::string_view nal = annexB.substr(start, end - start);
    if (!nal.empty() && (nal[0] & 0x1f) == 7) sets.first = nal;
    if (!nal.empty() && (nal[0] & 0x1f) == 8) sets.second = nal;
    at = next;
  }
  return sets;
}

// The sample frames as a network camera sends them, with `bFrames` between
// the reference pictures, into `streamFile`; and, unless `mp4File` is
// empty, recorded as they came into it.
bool writeStream(const std::filesystem::path& streamFile,
                 const std::filesystem::path& mp4File,
                 int32_t bFrames) {
  std::string error;
  auto encoder = createH264StreamEncoder();
  if (!encoder->open(samples::kWidth,
                     samples::kHeight,
                     samples::kFps,
                     15,
                     bFrames,
                     &error)) {
    std::fprintf(stderr, "make_media_samples: %s\n", error.c_str());
    return false;
  }
  std::ofstream stream(streamFile, std::ios::binary);
  std::unique_ptr<EncodedRecordingWriter> muxer;
  for (int32_t i = 0; i < samples::kFrames; ++i) {
    std::string unit;
    bool key = false;
    int64_t shown = 0;
    if (!encoder->encode(samples::frame(i), i == 0, &unit, &key, &shown))
      continue;
    if (!mp4File.empty() && !muxer) {
      const auto sets = parameterSets(unit);
      muxer = createEncodedRecordingWriter();
      if (!muxer->open(mp4File,
                       samples::kWidth,
                       samples::kHeight,
                       sets.first,
                       sets.second,
                       &error)) {
        std::fprintf(stderr, "make_media_samples: %s\n", error.c_str());
        return false;
      }
    }
    const auto micros =
        static_cast<int64_t>(std::llround(shown * 1e6 / samples::kFps));
    if (muxer && !muxer->write(unit, micros, micros, key)) {
      std::fprintf(stderr, "make_media_samples: frame %d not muxed\n", i);
      return false;
    }
    putBigEndian(stream, static_cast<uint32_t>(unit.size()));
    stream.put(key ? 1 : 0);
    putBigEndian(stream, static_cast<uint32_t>(shown));
    stream.write(unit.data(), static_cast<std::streamsize>(unit.size()));
  }
  stream.close();
  if (muxer && !muxer->finish(&error)) {
    std::fprintf(stderr, "make_media_samples: %s\n", error.c_str());
    return false;
  }
  if (!stream) {
    std::fprintf(
        stderr, "make_media_samples: %s not written\n", streamFile.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_media_samples DIR\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  if (!writeStream(dir / "stream.h264", dir / "frames.mp4", 0) ||
      !writeStream(dir / "stream_bframes.h264", {}, 2))
    return 1;
  std::printf("make_media_samples: %d frames written to %s\n",
              samples::kFrames,
              dir.c_str());
  return 0;
}
