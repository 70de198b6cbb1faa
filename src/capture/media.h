#pragma once

#include "capture/capture_source.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// The media seam: an H.264 MP4 writer fed with camera frames and their own
// sample times, a pass-through writer for a network camera's own H.264
// stream, a reader that hands back the frame shown at a time, and live
// H.264 decoding. FFmpeg implements them on Linux (capture/ffmpeg/).

namespace pxowin {

class RecordingWriter {
 public:
  virtual ~RecordingWriter() = default;
  // Opens the file for frames of this size; `nominalFps` is what the
  // camera negotiated (frames keep their own times regardless).
  [[nodiscard]] virtual bool open(const std::filesystem::path& path,
                                  int32_t width,
                                  int32_t height,
                                  double nominalFps,
                                  std::string* error) = 0;
  // Writes one frame at `time` seconds from the recording's start; times
  // must increase (a repeated time is moved just after the previous one).
  [[nodiscard]] virtual bool write(const BgraFrame& frame, double time) = 0;
  // Flushes the encoder and finalises the file.
  [[nodiscard]] virtual bool finish(std::string* error) = 0;
  // Before open: also decodes every frame as the file holds it and hands it
  // to `sink` with the time a reader of the file sees, full size, on a
  // thread of the writer's own, in order; the last one before finish()
  // returns. False when the writer cannot.
  virtual bool decodeWritten(
      const std::function<void(const BgraFrame&)>& sink) {
    (void)sink;
    return false;
  }
};

class FrameExtractor {
 public:
  virtual ~FrameExtractor() = default;
  [[nodiscard]] virtual bool open(const std::filesystem::path& path,
                                  std::string* error) = 0;
  virtual bool isOpen() const = 0;
  virtual void close() = 0;
  // The frame shown at `time`: the first one whose time + frame duration
  // reaches it, packed, top-down; reduced as downscaleFrame reduces it when
  // its longer side exceeds `maxDimension` (full size when that is below 1).
  [[nodiscard]] virtual bool frameAt(double time,
                                     int32_t maxDimension,
                                     BgraFrame* out,
                                     std::string* error) = 0;
};

// A recording of a camera's own H.264 stream, muxed as it came (no
// re-encoding): access units in Annex B form, the first one written a key
// frame, the parameter sets as the stream's sequence header.
class EncodedRecordingWriter {
 public:
  virtual ~EncodedRecordingWriter() = default;
  // `sps` and `pps` are NAL units without start codes.
  [[nodiscard]] virtual bool open(const std::filesystem::path& path,
                                  int32_t width,
                                  int32_t height,
                                  std::string_view sps,
                                  std::string_view pps,
                                  std::string* error) = 0;
  // One access unit in decode order, shown at `presentationMicros` and
  // decoded at `decodeMicros` from the recording's start (microseconds).
  // Decode times rise and are never after the presentation time; with
  // B-frames presentation times do not rise.
  [[nodiscard]] virtual bool write(std::string_view annexB,
                                   int64_t presentationMicros,
                                   int64_t decodeMicros,
                                   bool keyFrame) = 0;
  [[nodiscard]] virtual bool finish(std::string* error) = 0;
};

// Live decoding of a camera's H.264 stream into BGRA frames.
class H264Decoder {
 public:
  virtual ~H264Decoder() = default;
  // (Re)opens the decoder. `sequenceHeader` is start code + SPS + start
  // code + PPS, or empty. Messages: "no H.264 decoder", "decoder open
  // failed".
  [[nodiscard]] virtual bool open(std::string_view sequenceHeader,
                                  std::string* error) = 0;
  // One access unit (Annex B); true when a picture came out, converted with
  // yuv420ToBgra and reduced to at most `maxDimension` on its longer side.
  [[nodiscard]] virtual bool decode(std::string_view annexB,
                                    int32_t maxDimension,
                                    BgraFrame* out) = 0;
  virtual void close() = 0;
};

// An H.264 encoder for streaming (parameter sets in front of every key
// frame): what a network camera sends, with no B-frames (the low-delay
// kind) or with `bFrames` of them between the reference pictures (what
// many cameras and encoders send). The virtual rig's network camera uses
// it.
class H264StreamEncoder {
 public:
  virtual ~H264StreamEncoder() = default;
  [[nodiscard]] virtual bool open(int32_t width,
                                  int32_t height,
                                  double fps,
                                  int32_t keyFrameInterval,
                                  int32_t bFrames,
                                  std::string* error) = 0;
  // One frame in; an access unit (Annex B) out in decode order, with
  // whether it is a key frame (`forceKeyFrame` makes this frame one) and
  // which frame it shows (0 for the first frame given to encode, and so
  // on: with B-frames an earlier one than the frame just given). False
  // when the encoder failed or held the frame back.
  [[nodiscard]] virtual bool encode(const BgraFrame& frame,
                                    bool forceKeyFrame,
                                    std::string* annexB,
                                    bool* keyFrame,
                                    int64_t* shownFrame) = 0;
};

std::unique_ptr<RecordingWriter> createRecordingWriter();
std::unique_ptr<EncodedRecordingWriter> createEncodedRecordingWriter();
std::unique_ptr<H264Decoder> createH264Decoder();
std::unique_ptr<H264StreamEncoder> createH264StreamEncoder();
std::unique_ptr<FrameExtractor> createFrameExtractor();

}  // namespace pxowin
