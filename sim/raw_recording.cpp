#include "sim/raw_recording.h"

#include "capture/record_file.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <vector>

namespace pxo::sim {
namespace {

using pxowin::BgraFrame;
using pxowin::RecordFileReader;
using pxowin::RecordFileWriter;

void setError(std::string* error, const char* message) {
  if (error) *error = message;
}

struct FrameHeader {
  double time = 0;
  int32_t width = 0;
  int32_t height = 0;
};

class RawRecordingWriter final : public pxowin::RecordingWriter {
 public:
  bool open(const std::filesystem::path& path,
            int32_t width,
            int32_t height,
            double nominalFps,
            std::string* error) override {
    out_ = RecordFileWriter();
    if (width < 1 || height < 1) {
      setError(error, "no frame size to record");
      return false;
    }
    const double fps = nominalFps > 0 ? nominalFps : 30;
    out_.create(path, kRawRecordingHeader);
    out_.put(fps);
    if (!out_.good()) {
      setError(error, "could not create the raw test recording");
      return false;
    }
    width_ = width;
    height_ = height;
    lastTime_ = -std::numeric_limits<double>::infinity();
    return true;
  }

  bool write(const BgraFrame& frame, double time) override {
    if (!out_.isOpen() || frame.width != width_ || frame.height != height_)
      return false;
    // Times rise, as the platform's writers make them.
    time = std::max(time, 0.0);
    if (time <= lastTime_) time = lastTime_ + 1e-6;
    lastTime_ = time;
    const FrameHeader header{time, frame.width, frame.height};
    out_.put(header);
    row_.resize(static_cast<size_t>(frame.width) * 3);
    for (int32_t y = 0; y < frame.height; ++y) {
      const uint8_t* source =
          frame.pixels.data() + static_cast<size_t>(y) * frame.stride;
      for (int32_t x = 0; x < frame.width; ++x)
        std::memcpy(&row_[static_cast<size_t>(x) * 3],
                    source + static_cast<ptrdiff_t>(x) * 4,
                    3);
      out_.putBytes(row_.data(), row_.size());
    }
    return out_.good();
  }

  bool finish(std::string* error) override {
    if (!out_.isOpen()) {
      setError(error, "no recording open");
      return false;
    }
    if (!out_.finish()) {
      setError(error, "could not finalise recording");
      return false;
    }
    return true;
  }

 private:
  RecordFileWriter out_;
  int32_t width_ = 0, height_ = 0;
  double lastTime_ = 0;
  std::vector<uint8_t> row_;
};

class RawRecordingReader final : public pxowin::FrameExtractor {
 public:
  bool open(const std::filesystem::path& path, std::string* error) override {
    close();
    double fps = 0;
    if (!in_.open(path, kRawRecordingHeader) || !in_.get(&fps) || !(fps > 0)) {
      close();
      setError(error, "could not open recording for extraction");
      return false;
    }
    frameDuration_ = 1 / fps;
    // The index: each frame's time and size, and where its pixels start.
    for (;;) {
      Entry entry;
      if (!in_.get(&entry.header)) break;
      const auto& h = entry.header;
      if (h.width < 1 || h.height < 1 || h.width > 16384 || h.height > 16384)
        break;
      const std::optional<std::streamoff> pixels =
          in_.skipPayload(static_cast<uint64_t>(h.width) * h.height * 3);
      if (!pixels) break;
      entry.offset = *pixels;
      index_.push_back(entry);
    }
    open_ = true;
    return true;
  }

  bool isOpen() const override { return open_; }

  void close() override {
    in_.close();
    index_.clear();
    open_ = false;
  }

  bool frameAt(double time,
               int32_t maxDimension,
               BgraFrame* out,
               std::string* error) override {
    if (!open_) {
      setError(error, "extractor not open");
      return false;
    }
    const auto found =
        std::find_if(index_.begin(), index_.end(), [&](const Entry& entry) {
          return entry.header.time + frameDuration_ >= time;
        });
    if (found == index_.end()) {
      setError(error, "no frame at requested time");
      return false;
    }
    const FrameHeader& h = found->header;
    BgraFrame frame;
    frame.width = h.width;
    frame.height = h.height;
    frame.stride = h.width * 4;
    frame.pixels.resize(static_cast<size_t>(frame.stride) * h.height);
    std::vector<uint8_t> bgr(static_cast<size_t>(h.width) * h.height * 3);
    if (!in_.readAt(found->offset, bgr.data(), bgr.size())) {
      setError(error, "frame convert failed");
      return false;
    }
    for (size_t i = 0, n = static_cast<size_t>(h.width) * h.height; i < n;
         ++i) {
      std::memcpy(&frame.pixels[i * 4], &bgr[i * 3], 3);
      frame.pixels[i * 4 + 3] = 255;
    }
    frame.timestamp = h.time;
    *out = pxowin::downscaleFrame(std::move(frame), maxDimension);
    out->timestamp = h.time;
    return true;
  }

 private:
  struct Entry {
    std::streamoff offset = 0;  // of the pixels
    FrameHeader header;
  };
  RecordFileReader in_;
  std::vector<Entry> index_;
  double frameDuration_ = 1.0 / 30;
  bool open_ = false;
};

}  // namespace

std::unique_ptr<pxowin::RecordingWriter> createRawRecordingWriter() {
  return std::make_unique<RawRecordingWriter>();
}

std::unique_ptr<pxowin::FrameExtractor> createRawRecordingReader() {
  return std::make_unique<RawRecordingReader>();
}

bool platformCanRecord(std::string* why) {
  static std::once_flag once;
  static bool can = false;
  static std::string reason;
  std::call_once(once, [] {
    std::error_code ec;
    const auto file =
        std::filesystem::temp_directory_path(ec) /
        ("pxo-record-probe-" +
         std::to_string(
             std::chrono::steady_clock::now().time_since_epoch().count()) +
         ".mp4");
    auto writer = pxowin::createRecordingWriter();
    BgraFrame frame;
    frame.width = frame.height = 64;
    frame.stride = 256;
    frame.pixels.assign(size_t{256} * 64, 0);
    can = writer->open(file, 64, 64, 30, &reason) && writer->write(frame, 0) &&
          writer->finish(&reason);
    std::filesystem::remove(file, ec);
  });
  if (why) *why = reason;
  return can;
}

}  // namespace pxo::sim
