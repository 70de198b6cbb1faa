#include "capture/stream_file.h"

#include "capture/record_file.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <queue>
#include <string>
#include <vector>

namespace pxowin {
namespace {

constexpr std::string_view kHeader = kStreamFileHeader;
// Bounds on what a file may claim, so a damaged one cannot ask for much.
constexpr uint32_t kMaxUnitBytes = 16u << 20;
constexpr uint32_t kMaxParameterSetBytes = 4096;
// Unit times lie within a year of the recording's start either way: the
// steps between them and the frame duration added to them stay far from
// overflow, whatever a damaged file claims.
constexpr int64_t kMaxUnitMicros = 366LL * 24 * 3600 * 1'000'000;
// The most access units one frameAt decodes before it gives up.
constexpr int kMaxDecodes = 900;

bool plausibleTime(int64_t micros) {
  return micros >= -kMaxUnitMicros && micros <= kMaxUnitMicros;
}

void setError(std::string* error, const char* message) {
  if (error) *error = message;
}

class StreamFileWriter final : public EncodedRecordingWriter {
 public:
  bool open(const std::filesystem::path& path,
            int32_t width,
            int32_t height,
            std::string_view sps,
            std::string_view pps,
            std::string* error) override {
    out_ = RecordFileWriter();
    if (width < 1 || height < 1 || sps.empty() || pps.empty() ||
        sps.size() > kMaxParameterSetBytes ||
        pps.size() > kMaxParameterSetBytes) {
      setError(error, "no stream parameters to record");
      return false;
    }
    out_.create(path, kHeader);
    out_.put(width);
    out_.put(height);
    for (std::string_view set : {sps, pps}) {
      out_.put(static_cast<uint32_t>(set.size()));
      out_.putBytes(set.data(), set.size());
    }
    if (!out_.good()) {
      setError(error, "could not create recording");
      return false;
    }
    return true;
  }

  bool write(std::string_view annexB,
             int64_t presentationMicros,
             int64_t decodeMicros,
             bool keyFrame) override {
    if (!out_.isOpen() || annexB.empty() || annexB.size() > kMaxUnitBytes)
      return false;
    out_.put(presentationMicros);
    out_.put(decodeMicros);
    out_.put(static_cast<uint8_t>(keyFrame ? 1 : 0));
    out_.put(static_cast<uint32_t>(annexB.size()));
    out_.putBytes(annexB.data(), annexB.size());
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
};

// Decodes from the key frame before the time asked, on to the picture
// shown then. Pictures come out of the decoder in presentation order; each
// takes the earliest presentation time among the units given to it that no
// picture took yet. Reads in rising order (the scan's) decode on from where
// the last one stopped.
class StreamFileReader final : public FrameExtractor {
 public:
  bool open(const std::filesystem::path& path, std::string* error) override {
    close();
    int32_t width = 0, height = 0;
    bool ok = in_.open(path, kHeader) && in_.get(&width) && in_.get(&height) &&
              width > 0 && height > 0;
    for (int i = 0; ok && i < 2; ++i) {
      uint32_t size = 0;
      std::string set;
      ok = in_.get(&size) && size > 0 && size <= kMaxParameterSetBytes &&
           in_.getBytes(size, &set);
      sequenceHeader_.append("\0\0\0\1", 4);
      sequenceHeader_ += set;
    }
    while (ok) {
      Unit unit;
      uint8_t key = 0;
      if (!in_.get(&unit.presentation) || !in_.get(&unit.decode) ||
          !in_.get(&key) || !in_.get(&unit.size) || unit.size == 0 ||
          unit.size > kMaxUnitBytes || !plausibleTime(unit.presentation) ||
          !plausibleTime(unit.decode))
        break;
      unit.key = key != 0;
      const std::optional<std::streamoff> offset = in_.skipPayload(unit.size);
      if (!offset) break;
      unit.offset = *offset;
      units_.push_back(unit);
    }
    if (!ok || units_.empty() || !units_.front().key) {
      close();
      setError(error, "could not open recording for extraction");
      return false;
    }
    // The frame duration: the most common step between presentation times.
    std::vector<int64_t> times;
    for (const Unit& unit : units_) times.push_back(unit.presentation);
    std::sort(times.begin(), times.end());
    std::vector<int64_t> steps;
    for (size_t i = 1; i < times.size(); ++i)
      if (times[i] > times[i - 1]) steps.push_back(times[i] - times[i - 1]);
    if (!steps.empty()) {
      std::nth_element(
          steps.begin(),
          steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2),
          steps.end());
      frameMicros_ = steps[steps.size() / 2];
    }
    sortedTimes_ = std::move(times);
    open_ = true;
    return true;
  }

  bool isOpen() const override { return open_; }

  void close() override {
    in_.close();
    units_.clear();
    sortedTimes_.clear();
    sequenceHeader_.clear();
    decoder_.reset();
    open_ = false;
    havePicture_ = false;
  }

  bool frameAt(double time,
               int32_t maxDimension,
               BgraFrame* out,
               std::string* error) override {
    if (!open_) {
      setError(error, "extractor not open");
      return false;
    }
    const double seconds =
        time > 0 ? std::min(time, kMaxUnitMicros / 1e6) : 0.0;
    const auto wanted = static_cast<int64_t>(std::llround(seconds * 1e6));
    // The picture shown then: the first whose time + duration reaches it.
    const auto shown =
        std::find_if(sortedTimes_.begin(), sortedTimes_.end(), [&](int64_t t) {
          return t + frameMicros_ >= wanted;
        });
    if (shown == sortedTimes_.end()) {
      setError(error, "no frame at requested time");
      return false;
    }
    const int64_t target = *shown;
    // Decoding on from the last picture beats starting again, unless a
    // key frame lies between.
    const size_t key = keyBefore(target);
    if (!(decoder_ && havePicture_ && pictureTime_ <= target && next_ > key))
      restart(key);
    for (int decodes = 0; !(havePicture_ && pictureTime_ >= target);) {
      if (next_ >= units_.size() || ++decodes > kMaxDecodes || !decodeNext()) {
        havePicture_ = false;
        setError(error, "no frame at requested time");
        return false;
      }
    }
    *out = downscaleFrame(picture_, maxDimension);
    out->timestamp = static_cast<double>(pictureTime_) / 1e6;
    return true;
  }

 private:
  struct Unit {
    std::streamoff offset = 0;
    int64_t presentation = 0;
    int64_t decode = 0;
    uint32_t size = 0;
    bool key = false;
  };

  // The last key frame shown at or before `target`.
  size_t keyBefore(int64_t target) const {
    size_t key = 0;
    for (size_t i = 0; i < units_.size(); ++i)
      if (units_[i].key && units_[i].presentation <= target) key = i;
    return key;
  }

  void restart(size_t start) {
    decoder_ = createH264Decoder();
    if (!decoder_->open(sequenceHeader_, nullptr)) decoder_.reset();
    next_ = start;
    pending_ = {};
    havePicture_ = false;
  }

  // Gives the decoder one unit; false when it cannot be read or decoded.
  bool decodeNext() {
    if (!decoder_) return false;
    const Unit& unit = units_[next_++];
    std::string bytes(unit.size, '\0');
    if (!in_.readAt(unit.offset, bytes.data(), unit.size)) return false;
    pending_.push(unit.presentation);
    BgraFrame frame;
    if (decoder_->decode(bytes, 0, &frame)) {
      picture_ = std::move(frame);
      pictureTime_ = pending_.top();
      pending_.pop();
      havePicture_ = true;
    }
    return true;
  }

  RecordFileReader in_;
  std::string sequenceHeader_;
  std::vector<Unit> units_;  // decode order
  std::vector<int64_t> sortedTimes_;
  int64_t frameMicros_ = 33'333;
  std::unique_ptr<H264Decoder> decoder_;
  size_t next_ = 0;
  // Presentation times given to the decoder that no picture took yet.
  std::priority_queue<int64_t, std::vector<int64_t>, std::greater<>> pending_;
  BgraFrame picture_;
  int64_t pictureTime_ = 0;
  bool havePicture_ = false;
  bool open_ = false;
};

// A stream file through its own reader, anything else through the media
// back end's.
class RecordingReader final : public FrameExtractor {
 public:
  bool open(const std::filesystem::path& path, std::string* error) override {
    inner_ = isStreamFile(path)
                 ? std::unique_ptr<FrameExtractor>(new StreamFileReader)
                 : createFrameExtractor();
    return inner_->open(path, error);
  }
  bool isOpen() const override { return inner_ && inner_->isOpen(); }
  void close() override {
    if (inner_) inner_->close();
  }
  bool frameAt(double time,
               int32_t maxDimension,
               BgraFrame* out,
               std::string* error) override {
    if (!inner_) {
      setError(error, "extractor not open");
      return false;
    }
    return inner_->frameAt(time, maxDimension, out, error);
  }

 private:
  std::unique_ptr<FrameExtractor> inner_;
};

}  // namespace

std::unique_ptr<EncodedRecordingWriter> createStreamFileWriter() {
  return std::make_unique<StreamFileWriter>();
}

std::unique_ptr<FrameExtractor> createRecordingReader() {
  return std::make_unique<RecordingReader>();
}

bool isStreamFile(const std::filesystem::path& path) {
  return startsWithLine(path, kHeader);
}

}  // namespace pxowin
