// The media seam of a build without a media back end: the Windows build
// until its Media Foundation back end is in. Every object exists and fails
// with a message that says why, so that a caller reports it as it would
// report any other camera or recording failure.

#include "capture/camera_list.h"
#include "capture/media.h"
#include "capture/pixel_convert.h"

namespace pxowin {
namespace {

constexpr char kNoMedia[] = "this build has no video back end";

void setError(std::string* error) {
  if (error) *error = kNoMedia;
}

class NoRecordingWriter final : public RecordingWriter {
 public:
  bool open(const std::filesystem::path&,
            int32_t,
            int32_t,
            double,
            std::string* error) override {
    setError(error);
    return false;
  }
  bool write(const BgraFrame&, double) override { return false; }
  bool finish(std::string* error) override {
    setError(error);
    return false;
  }
};

class NoEncodedRecordingWriter final : public EncodedRecordingWriter {
 public:
  bool open(const std::filesystem::path&,
            int32_t,
            int32_t,
            std::string_view,
            std::string_view,
            std::string* error) override {
    setError(error);
    return false;
  }
  bool write(std::string_view, int64_t, int64_t, bool) override {
    return false;
  }
  bool finish(std::string* error) override {
    setError(error);
    return false;
  }
};

class NoFrameExtractor final : public FrameExtractor {
 public:
  bool open(const std::filesystem::path&, std::string* error) override {
    setError(error);
    return false;
  }
  bool isOpen() const override { return false; }
  void close() override {}
  bool frameAt(double, int32_t, BgraFrame*, std::string* error) override {
    setError(error);
    return false;
  }
};

class NoH264Decoder final : public H264Decoder {
 public:
  bool open(std::string_view, std::string* error) override {
    if (error) *error = "no H.264 decoder";
    return false;
  }
  bool decode(std::string_view, int32_t, BgraFrame*) override { return false; }
  void close() override {}
};

class NoH264StreamEncoder final : public H264StreamEncoder {
 public:
  bool open(
      int32_t, int32_t, double, int32_t, int32_t, std::string* error) override {
    setError(error);
    return false;
  }
  bool encode(const BgraFrame&, bool, std::string*, bool*, int64_t*) override {
    return false;
  }
};

class NoMjpegDecoder final : public MjpegDecoder {
 public:
  bool decode(std::span<const uint8_t>,
              BgraFrame*,
              std::string* error) override {
    setError(error);
    return false;
  }
};

}  // namespace

std::unique_ptr<RecordingWriter> createRecordingWriter() {
  return std::make_unique<NoRecordingWriter>();
}

std::unique_ptr<EncodedRecordingWriter> createEncodedRecordingWriter() {
  return std::make_unique<NoEncodedRecordingWriter>();
}

std::unique_ptr<H264Decoder> createH264Decoder() {
  return std::make_unique<NoH264Decoder>();
}

std::unique_ptr<H264StreamEncoder> createH264StreamEncoder() {
  return std::make_unique<NoH264StreamEncoder>();
}

std::unique_ptr<FrameExtractor> createFrameExtractor() {
  return std::make_unique<NoFrameExtractor>();
}

std::unique_ptr<MjpegDecoder> createMjpegDecoder() {
  return std::make_unique<NoMjpegDecoder>();
}

bool enumerateCameras(std::vector<CameraDevice>* out, std::string* error) {
  out->clear();
  setError(error);
  return false;
}

std::unique_ptr<ICaptureSource> createLocalCamera() { return nullptr; }

}  // namespace pxowin
