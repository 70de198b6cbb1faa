// The media seam through Media Foundation: the sink writer records camera
// frames (RGB32 in, H.264 in MP4 out) and a network camera's own H.264 as it
// came; the source reader reads frames back; the H.264 decoder transform
// shows a network camera live.

#include "capture/media.h"
#include "capture/mf/mf_platform.h"
#include "capture/pixel_convert.h"
#include "capture/rtsp/h264_depacketizer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include <mferror.h>
#include <mftransform.h>

namespace pxowin {
namespace {

using mf::ComApartment;
using mf::ComPtr;

constexpr LONGLONG kTicksPerSecond = 10'000'000;
// The most samples one frameAt reads before it gives up.
constexpr int kMaxReads = 300;
// A time this far ahead of the frame last read is reached by reading on
// rather than seeking (a seek decodes from the key frame before it).
constexpr double kForwardWindowSeconds = 2.0;
constexpr UINT32 kRecordingBitRate = 12'000'000;

void setError(std::string* error, const char* message) {
  if (error) *error = message;
}

// The platform's resolver takes a full path with backslashes (a path like
// "/data/x.mp4" is read as a URL it does not know).
std::wstring platformPath(const std::filesystem::path& path) {
  std::error_code ignored;
  std::filesystem::path full = std::filesystem::absolute(path, ignored);
  if (full.empty()) full = path;
  return full.make_preferred().wstring();
}

// A frame rate as a fraction with a denominator of 1000 (30000/1001 stays
// exact enough; 30 becomes 30000/1000, which the writer reduces).
std::pair<UINT32, UINT32> rateFraction(double fps) {
  if (!(fps > 0) || fps > 1000) fps = 30;
  return {static_cast<UINT32>(std::lround(fps * 1000)), 1000};
}

ComPtr<IMFMediaType> videoType(const GUID& subtype,
                               int32_t width,
                               int32_t height,
                               std::pair<UINT32, UINT32> rate) {
  ComPtr<IMFMediaType> type;
  if (FAILED(mf::api().createMediaType(type.put()))) return type;
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
  type->SetUINT64(MF_MT_FRAME_SIZE,
                  mf::packHalves(static_cast<uint32_t>(width),
                                 static_cast<uint32_t>(height)));
  type->SetUINT64(MF_MT_FRAME_RATE, mf::packHalves(rate.first, rate.second));
  type->SetUINT64(MF_MT_PIXEL_ASPECT_RATIO, mf::packHalves(1, 1));
  return type;
}

ComPtr<IMFSample> sampleWithBytes(const void* data, size_t size) {
  ComPtr<IMFSample> sample;
  ComPtr<IMFMediaBuffer> buffer;
  const auto length = static_cast<DWORD>(std::max<size_t>(size, 1));
  if (size > std::numeric_limits<DWORD>::max() ||
      FAILED(mf::api().createMemoryBuffer(length, buffer.put())))
    return sample;
  BYTE* bytes = nullptr;
  if (FAILED(buffer->Lock(&bytes, nullptr, nullptr))) return sample;
  if (size > 0) std::memcpy(bytes, data, size);
  buffer->Unlock();
  buffer->SetCurrentLength(static_cast<DWORD>(size));
  if (SUCCEEDED(mf::api().createSample(sample.put())))
    sample->AddBuffer(buffer.get());
  return sample;
}

// One file being written by the sink writer: the stream's type, the type
// fed to it (the same one for a stream muxed as it came), and its end.
class SinkWriterFile {
 public:
  // Opens `path` with one stream; messages as the writers give them.
  bool begin(const std::filesystem::path& path,
             IMFMediaType* output,
             IMFMediaType* input,
             const char* inputFailure,
             std::string* error) {
    writer_.reset();
    if (!started_.take()) {
      setError(error, "MFStartup failed");
      return false;
    }
    ComPtr<IMFSinkWriter> writer;
    if (FAILED(mf::api().createSinkWriterFromUrl(
            platformPath(path).c_str(), nullptr, nullptr, writer.put()))) {
      setError(error, "MFCreateSinkWriterFromURL failed");
      return false;
    }
    DWORD stream = 0;
    if (!output || FAILED(writer->AddStream(output, &stream))) {
      setError(error, "AddStream(H264) failed");
      return false;
    }
    if (!input || FAILED(writer->SetInputMediaType(stream, input, nullptr))) {
      setError(error, inputFailure);
      return false;
    }
    if (FAILED(writer->BeginWriting())) {
      setError(error, "BeginWriting failed");
      return false;
    }
    writer_ = std::move(writer);
    stream_ = stream;
    return true;
  }

  bool isOpen() const { return static_cast<bool>(writer_); }

  bool write(IMFSample* sample) {
    return writer_ && SUCCEEDED(writer_->WriteSample(stream_, sample));
  }

  bool finish(std::string* error) {
    if (!writer_) {
      setError(error, "no recording open");
      return false;
    }
    ComApartment com;
    const bool ok = SUCCEEDED(writer_->Finalize());
    writer_.reset();
    if (!ok) setError(error, "could not finalise recording");
    return ok;
  }

 private:
  mf::Started started_;
  ComPtr<IMFSinkWriter> writer_;
  DWORD stream_ = 0;
};

// Camera frames to an H.264 MP4: the platform's encoder behind the sink
// writer, fed top-down RGB32 with the frames' own times.
class MfRecordingWriter final : public RecordingWriter {
 public:
  bool open(const std::filesystem::path& path,
            int32_t width,
            int32_t height,
            double nominalFps,
            std::string* error) override {
    ComApartment com;
    if (width < 1 || height < 1) {
      setError(error, "no frame size to record");
      return false;
    }
    if (!mf::acquire()) {
      setError(error, "MFStartup failed");
      return false;
    }
    const auto rate = rateFraction(nominalFps);
    ComPtr<IMFMediaType> output =
        videoType(MFVideoFormat_H264, width, height, rate);
    if (output) output->SetUINT32(MF_MT_AVG_BITRATE, kRecordingBitRate);
    // Our frames are top-down; RGB32 without a stride would be taken as
    // bottom-up and recorded upside down.
    ComPtr<IMFMediaType> input =
        videoType(MFVideoFormat_RGB32, width, height, rate);
    if (input)
      input->SetUINT32(MF_MT_DEFAULT_STRIDE, static_cast<UINT32>(width * 4));
    const bool ok = file_.begin(path,
                                output.get(),
                                input.get(),
                                "SetInputMediaType(RGB32) failed",
                                error);
    mf::release();
    if (!ok) return false;
    width_ = width;
    height_ = height;
    frameTicks_ = static_cast<LONGLONG>(kTicksPerSecond) * rate.second /
                  std::max<UINT32>(rate.first, 1);
    lastTime_ = std::numeric_limits<LONGLONG>::min();
    return true;
  }

  bool write(const BgraFrame& frame, double time) override {
    if (!file_.isOpen() || frame.width != width_ || frame.height != height_ ||
        frame.stride != width_ * 4)
      return false;
    ComApartment com;
    ComPtr<IMFSample> sample =
        sampleWithBytes(frame.pixels.data(), frame.pixels.size());
    if (!sample) return false;
    auto ticks = static_cast<LONGLONG>(
        std::llround(std::max(time, 0.0) * kTicksPerSecond));
    if (ticks <= lastTime_) ticks = lastTime_ + 1;
    lastTime_ = ticks;
    sample->SetSampleTime(ticks);
    sample->SetSampleDuration(frameTicks_);
    return file_.write(sample.get());
  }

  bool finish(std::string* error) override { return file_.finish(error); }

 private:
  SinkWriterFile file_;
  int32_t width_ = 0, height_ = 0;
  LONGLONG frameTicks_ = 0;
  LONGLONG lastTime_ = 0;
};

// A network camera's H.264 into an MP4 as it came: one media type for the
// stream and its input, so the sink writer only muxes.
class MfEncodedRecordingWriter final : public EncodedRecordingWriter {
 public:
  bool open(const std::filesystem::path& path,
            int32_t width,
            int32_t height,
            std::string_view sps,
            std::string_view pps,
            std::string* error) override {
    ComApartment com;
    if (width < 1 || height < 1 || sps.empty() || pps.empty()) {
      setError(error, "no stream parameters to record");
      return false;
    }
    if (!mf::acquire()) {
      setError(error, "MFStartup failed");
      return false;
    }
    std::string header;
    for (std::string_view unit : {sps, pps}) {
      header.append("\0\0\0\1", 4);
      header.append(unit);
    }
    ComPtr<IMFMediaType> type =
        videoType(MFVideoFormat_H264, width, height, {30, 1});
    if (type)
      type->SetBlob(MF_MT_MPEG_SEQUENCE_HEADER,
                    reinterpret_cast<const UINT8*>(header.data()),
                    static_cast<UINT32>(header.size()));
    const bool ok = file_.begin(
        path, type.get(), type.get(), "SetInputMediaType(H264) failed", error);
    mf::release();
    return ok;
  }

  bool write(std::string_view annexB,
             int64_t presentationMicros,
             int64_t decodeMicros,
             bool keyFrame) override {
    if (!file_.isOpen()) return false;
    ComApartment com;
    ComPtr<IMFSample> sample = sampleWithBytes(annexB.data(), annexB.size());
    if (!sample) return false;
    sample->SetSampleTime(presentationMicros * 10);
    sample->SetUINT64(MFSampleExtension_DecodeTimestamp,
                      static_cast<UINT64>(decodeMicros * 10));
    sample->SetUINT32(MFSampleExtension_CleanPoint, keyFrame ? 1 : 0);
    return file_.write(sample.get());
  }

  bool finish(std::string* error) override { return file_.finish(error); }

 private:
  SinkWriterFile file_;
};

// Frames of a recording through the source reader. The frame shown at t is
// the first whose time + frame duration reaches t; the last frame read is
// kept, so reads in rising order (the scan's) decode each frame once and
// seek only across gaps.
class MfFrameExtractor final : public FrameExtractor {
 public:
  ~MfFrameExtractor() override { close(); }

  bool open(const std::filesystem::path& path, std::string* error) override {
    close();
    ComApartment com;
    if (!started_.take()) {
      setError(error, "MFStartup failed");
      return false;
    }
    ComPtr<IMFAttributes> attributes;
    if (SUCCEEDED(mf::api().createAttributes(attributes.put(), 1)))
      attributes->SetUINT32(MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING,
                            TRUE);
    if (FAILED(mf::api().createSourceReaderFromUrl(
            platformPath(path).c_str(), attributes.get(), reader_.put()))) {
      reader_.reset();
      setError(error, "could not open recording for extraction");
      return false;
    }
    if (!mf::negotiateOutput(reader_.get(), &format_)) {
      reader_.reset();
      setError(error, "could not negotiate RGB32 for extraction");
      return false;
    }
    frameTicks_ = kTicksPerSecond * format_.frameRateDenominator /
                  std::max(format_.frameRateNumerator, 1);
    haveCurrent_ = false;
    fresh_ = true;
    return true;
  }

  bool isOpen() const override { return static_cast<bool>(reader_); }

  void close() override {
    reader_.reset();
    haveCurrent_ = false;
  }

  bool frameAt(double time,
               int32_t maxDimension,
               BgraFrame* out,
               std::string* error) override {
    if (!reader_) {
      setError(error, "extractor not open");
      return false;
    }
    ComApartment com;
    const auto wanted = static_cast<LONGLONG>(
        std::llround(std::max(time, 0.0) * kTicksPerSecond));
    if (haveCurrent_ && currentTime_ + frameTicks_ >= wanted) {
      if (previousTime_ + frameTicks_ < wanted)
        return deliver(maxDimension, out, error);
      seek(wanted);
    } else if (!haveCurrent_ ? !fresh_ || time > kForwardWindowSeconds
                             : exhausted_ || wanted - currentTime_ >
                                                 static_cast<LONGLONG>(
                                                     kForwardWindowSeconds *
                                                     kTicksPerSecond)) {
      seek(wanted);
    }
    const auto stream = static_cast<DWORD>(MF_SOURCE_READER_FIRST_VIDEO_STREAM);
    for (int reads = 0; reads < kMaxReads; ++reads) {
      DWORD flags = 0;
      LONGLONG sampleTime = 0;
      ComPtr<IMFSample> sample;
      if (FAILED(reader_->ReadSample(
              stream, 0, nullptr, &flags, &sampleTime, sample.put())) ||
          (flags & MF_SOURCE_READERF_ENDOFSTREAM))
        break;
      if (flags & MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED &&
          !mf::negotiateOutput(reader_.get(), &format_))
        break;
      if (!sample) continue;
      previousTime_ = haveCurrent_ ? currentTime_
                      : fresh_     ? std::numeric_limits<LONGLONG>::min() / 2
                                   : std::numeric_limits<LONGLONG>::max() / 2;
      current_ = std::move(sample);
      currentTime_ = sampleTime;
      haveCurrent_ = true;
      if (sampleTime + frameTicks_ >= wanted)
        return deliver(maxDimension, out, error);
    }
    exhausted_ = true;
    setError(error, "no frame at requested time");
    return false;
  }

 private:
  void seek(LONGLONG ticks) {
    PROPVARIANT position;
    PropVariantInit(&position);
    position.vt = VT_I8;
    position.hVal.QuadPart = ticks;
    reader_->SetCurrentPosition(GUID_NULL, position);
    haveCurrent_ = false;
    exhausted_ = false;
    fresh_ = false;
  }

  bool deliver(int32_t maxDimension, BgraFrame* out, std::string* error) {
    if (!mf::frameFromSample(current_.get(), format_, maxDimension, out)) {
      setError(error, "frame convert failed");
      return false;
    }
    out->timestamp = static_cast<double>(currentTime_) / kTicksPerSecond;
    return true;
  }

  mf::Started started_;
  ComPtr<IMFSourceReader> reader_;
  mf::VideoFormat format_;
  LONGLONG frameTicks_ = kTicksPerSecond / 30;
  ComPtr<IMFSample> current_;
  LONGLONG currentTime_ = 0;
  // The frame before the current one; far below it when the current one
  // is the file's first, far above when unknown (after a seek).
  LONGLONG previousTime_ = 0;
  bool haveCurrent_ = false;
  bool fresh_ = true;
  bool exhausted_ = false;
};

// Live decoding through the platform's H.264 decoder transform, NV12 out.
class MfH264Decoder final : public H264Decoder {
 public:
  ~MfH264Decoder() override { close(); }

  bool open(std::string_view sequenceHeader, std::string* error) override {
    close();
    ComApartment com;
    if (!started_.take()) {
      setError(error, "no H.264 decoder MFT");
      return false;
    }
    MFT_REGISTER_TYPE_INFO input{MFMediaType_Video, MFVideoFormat_H264};
    IMFActivate** activates = nullptr;
    UINT32 count = 0;
    const HRESULT found = mf::api().enumTransforms(
        MFT_CATEGORY_VIDEO_DECODER,
        MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_LOCALMFT |
            MFT_ENUM_FLAG_SORTANDFILTER,
        &input,
        nullptr,
        &activates,
        &count);
    if (FAILED(found) || count == 0) {
      if (activates) ::CoTaskMemFree(activates);
      setError(error, "no H.264 decoder MFT");
      return false;
    }
    const HRESULT activated = activates[0]->ActivateObject(
        IID_IMFTransform, reinterpret_cast<void**>(transform_.put()));
    for (UINT32 i = 0; i < count; ++i) activates[i]->Release();
    ::CoTaskMemFree(activates);
    if (FAILED(activated)) {
      transform_.reset();
      setError(error, "activate decoder failed");
      return false;
    }
    ComPtr<IMFMediaType> type;
    if (FAILED(mf::api().createMediaType(type.put()))) {
      transform_.reset();
      setError(error, "decoder SetInputType failed");
      return false;
    }
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
    type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
    pictureWidth_ = pictureHeight_ = 0;
    noteSps(sequenceHeader);
    if (!sequenceHeader.empty())
      type->SetBlob(MF_MT_MPEG_SEQUENCE_HEADER,
                    reinterpret_cast<const UINT8*>(sequenceHeader.data()),
                    static_cast<UINT32>(sequenceHeader.size()));
    if (FAILED(transform_->SetInputType(0, type.get(), 0))) {
      transform_.reset();
      setError(error, "decoder SetInputType failed");
      return false;
    }
    if (!chooseNv12Output()) {
      transform_.reset();
      setError(error, "decoder has no NV12 output");
      return false;
    }
    transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
    transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0);
    streaming_ = true;
    return true;
  }

  bool decode(std::string_view annexB,
              int32_t maxDimension,
              BgraFrame* out) override {
    if (!transform_ || annexB.empty()) return false;
    ComApartment com;
    noteSps(annexB);
    ComPtr<IMFSample> sample = sampleWithBytes(annexB.data(), annexB.size());
    if (!sample) return false;
    sample->SetSampleTime(0);
    sample->SetSampleDuration(333'333);
    HRESULT hr = transform_->ProcessInput(0, sample.get(), 0);
    if (hr == MF_E_NOTACCEPTING) {
      BgraFrame discarded;
      pullOutput(0, &discarded);
      hr = transform_->ProcessInput(0, sample.get(), 0);
    }
    if (FAILED(hr)) return false;
    return pullOutput(maxDimension, out);
  }

  void close() override {
    if (!transform_) return;
    ComApartment com;
    if (streaming_) {
      transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_END_OF_STREAM, 0);
      transform_->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0);
    }
    streaming_ = false;
    transform_.reset();
  }

 private:
  bool chooseNv12Output() {
    for (DWORD index = 0;; ++index) {
      ComPtr<IMFMediaType> type;
      if (FAILED(transform_->GetOutputAvailableType(0, index, type.put())))
        return false;
      GUID subtype{};
      if (SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) &&
          subtype == MFVideoFormat_NV12) {
        if (FAILED(transform_->SetOutputType(0, type.get(), 0))) return false;
        readOutputInformation();
        return true;
      }
    }
  }

  // The picture size a sequence parameter set in `annexB` gives, cropping
  // applied: a decoder that pads the picture to whole macroblocks (360 rows
  // to 368) without saying so in its output type is cropped back to it.
  void noteSps(std::string_view annexB) {
    for (size_t at = annexB.find(std::string_view("\0\0\1", 3));
         at != std::string_view::npos;
         at = annexB.find(std::string_view("\0\0\1", 3), at + 3)) {
      if (at + 3 < annexB.size() && (annexB[at + 3] & 0x1f) == 7) {
        int32_t width = 0, height = 0;
        size_t end = annexB.find(std::string_view("\0\0\1", 3), at + 3);
        if (end == std::string_view::npos) end = annexB.size();
        if (pxo::readSpsSize(
                annexB.substr(at + 3, end - at - 3), &width, &height)) {
          pictureWidth_ = width;
          pictureHeight_ = height;
          cropToPicture();
        }
      }
    }
  }

  void cropToPicture() {
    if (pictureWidth_ > 0 && pictureWidth_ <= format_.width &&
        format_.width - pictureWidth_ < 16)
      format_.width = pictureWidth_;
    if (pictureHeight_ > 0 && pictureHeight_ <= format_.height &&
        format_.height - pictureHeight_ < 16)
      format_.height = pictureHeight_;
  }

  void readOutputInformation() {
    ComPtr<IMFMediaType> type;
    format_ = mf::VideoFormat{};
    format_.pixels = mf::PixelFormat::kNv12;
    if (SUCCEEDED(transform_->GetOutputCurrentType(0, type.put())))
      format_ = mf::readVideoFormat(type.get(), mf::PixelFormat::kNv12);
    format_.stride = std::abs(format_.stride);
    // The buffer holds the padded rows; the size given to the conversion
    // is the picture's.
    const int32_t paddedHeight = format_.height;
    MFT_OUTPUT_STREAM_INFO info{};
    transform_->GetOutputStreamInfo(0, &info);
    allocatesOutput_ =
        (info.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES |
                         MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES)) != 0;
    bufferSize_ = info.cbSize;
    if (bufferSize_ == 0)
      bufferSize_ = static_cast<DWORD>(std::max(format_.stride, 0)) *
                    static_cast<DWORD>(std::max(paddedHeight, 0)) * 3 / 2;
    cropToPicture();
  }

  bool pullOutput(int32_t maxDimension, BgraFrame* out) {
    for (int attempt = 0; attempt < 8; ++attempt) {
      MFT_OUTPUT_DATA_BUFFER output{};
      ComPtr<IMFSample> supplied;
      if (!allocatesOutput_) {
        ComPtr<IMFMediaBuffer> buffer;
        if (FAILED(mf::api().createMemoryBuffer(std::max<DWORD>(bufferSize_, 1),
                                                buffer.put())) ||
            FAILED(mf::api().createSample(supplied.put())))
          return false;
        supplied->AddBuffer(buffer.get());
        output.pSample = supplied.get();
      }
      DWORD status = 0;
      const HRESULT hr = transform_->ProcessOutput(0, 1, &output, &status);
      ComPtr<IMFSample> produced;
      if (allocatesOutput_ && output.pSample) *produced.put() = output.pSample;
      if (output.pEvents) output.pEvents->Release();
      if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) return false;
      if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
        if (!chooseNv12Output()) return false;
        continue;
      }
      if (FAILED(hr)) return false;
      IMFSample* picture = allocatesOutput_ ? produced.get() : supplied.get();
      return mf::frameFromSample(picture, format_, maxDimension, out);
    }
    return false;
  }

  mf::Started started_;
  ComPtr<IMFTransform> transform_;
  mf::VideoFormat format_;
  bool streaming_ = false;
  bool allocatesOutput_ = false;
  DWORD bufferSize_ = 0;
  // The picture size of the stream's sequence parameter set (0: none seen).
  int32_t pictureWidth_ = 0, pictureHeight_ = 0;
};

// The rig's network camera encodes with FFmpeg; the Windows build has no
// stream encoder, and its cameras hand over decoded pictures (no
// Motion-JPEG decoder is needed).
class NoH264StreamEncoder final : public H264StreamEncoder {
 public:
  bool open(
      int32_t, int32_t, double, int32_t, int32_t, std::string* error) override {
    setError(error, "this build has no H.264 stream encoder");
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
    setError(error, "this build has no Motion-JPEG decoder");
    return false;
  }
};

}  // namespace

std::unique_ptr<RecordingWriter> createRecordingWriter() {
  return std::make_unique<MfRecordingWriter>();
}

std::unique_ptr<EncodedRecordingWriter> createEncodedRecordingWriter() {
  return std::make_unique<MfEncodedRecordingWriter>();
}

std::unique_ptr<FrameExtractor> createFrameExtractor() {
  return std::make_unique<MfFrameExtractor>();
}

std::unique_ptr<H264Decoder> createH264Decoder() {
  return std::make_unique<MfH264Decoder>();
}

std::unique_ptr<H264StreamEncoder> createH264StreamEncoder() {
  return std::make_unique<NoH264StreamEncoder>();
}

std::unique_ptr<MjpegDecoder> createMjpegDecoder() {
  return std::make_unique<NoMjpegDecoder>();
}

}  // namespace pxowin
