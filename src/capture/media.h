#pragma once

#include "capture/capture_source.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

// The media seam: an H.264 MP4 writer fed with camera frames and their own
// sample times, and a reader that hands back the frame shown at a time.
// FFmpeg implements both on Linux (capture/ffmpeg/).

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

std::unique_ptr<RecordingWriter> createRecordingWriter();
std::unique_ptr<FrameExtractor> createFrameExtractor();

}  // namespace pxowin
