// A network camera's H.264 stream through FFmpeg: muxed into MP4 as it
// came, decoded for the live picture (the conversion to BGRA is our own),
// and, for the virtual rig's network camera, encoded the way such a camera
// encodes (4:2:0, no B-frames, parameter sets before every key frame).

#include "capture/ffmpeg/ffmpeg_output.h"
#include "capture/media.h"
#include "capture/pixel_convert.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace pxowin {

namespace {

constexpr AVRational kMicroseconds = {1, 1000000};
constexpr char kStartCode[] = {0, 0, 0, 1};

void setError(std::string* error, const std::string& message) {
  if (error) *error = message;
}

// A copy FFmpeg may own and read past by its padding.
uint8_t* paddedCopy(std::string_view bytes) {
  auto* data = static_cast<uint8_t*>(
      av_mallocz(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (data && !bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  return data;
}

class FfmpegEncodedWriter final : public EncodedRecordingWriter {
 public:
  ~FfmpegEncodedWriter() override { release(); }

  bool open(const std::filesystem::path& path,
            int32_t width,
            int32_t height,
            std::string_view sps,
            std::string_view pps,
            std::string* error) override {
    release();
    if (width < 1 || height < 1 || sps.empty() || pps.empty()) {
      setError(error, "no stream parameters to record");
      return false;
    }
    int rc =
        avformat_alloc_output_context2(&format_, nullptr, "mp4", path.c_str());
    if (rc < 0 || !format_) {
      setError(error, "could not create recording: " + averror(rc));
      return false;
    }
    stream_ = avformat_new_stream(format_, nullptr);
    if (!stream_) {
      setError(error, "could not create recording stream");
      release();
      return false;
    }
    AVCodecParameters* parameters = stream_->codecpar;
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = AV_CODEC_ID_H264;
    parameters->width = width;
    parameters->height = height;
    parameters->sample_aspect_ratio = {1, 1};
    parameters->field_order = AV_FIELD_PROGRESSIVE;
    std::string header;
    header.append(kStartCode, 4).append(sps).append(kStartCode, 4).append(pps);
    parameters->extradata = paddedCopy(header);
    parameters->extradata_size = static_cast<int>(header.size());
    stream_->time_base = kMicroseconds;
    stream_->avg_frame_rate = {30, 1};
    if (!startOutputFile(format_, path, error)) {
      release();
      return false;
    }
    headerWritten_ = true;
    lastDts_ = std::numeric_limits<int64_t>::min();
    packet_ = av_packet_alloc();
    return packet_ != nullptr;
  }

  bool write(std::string_view annexB,
             int64_t presentationMicros,
             int64_t decodeMicros,
             bool keyFrame) override {
    if (!headerWritten_ || annexB.empty() ||
        annexB.size() > size_t(std::numeric_limits<int>::max()) ||
        decodeMicros <= lastDts_ || decodeMicros > presentationMicros)
      return false;
    lastDts_ = decodeMicros;
    if (av_new_packet(packet_, static_cast<int>(annexB.size())) < 0)
      return false;
    std::memcpy(packet_->data, annexB.data(), annexB.size());
    // The first decode times lie before 0 when B-frames follow the first
    // key frame; the file's edit list keeps presentation starting at 0.
    packet_->pts =
        av_rescale_q(presentationMicros, kMicroseconds, stream_->time_base);
    packet_->dts =
        av_rescale_q(decodeMicros, kMicroseconds, stream_->time_base);
    packet_->duration =
        av_rescale_q(1000000 / 30, kMicroseconds, stream_->time_base);
    packet_->stream_index = stream_->index;
    if (keyFrame) packet_->flags |= AV_PKT_FLAG_KEY;
    const int rc = av_write_frame(format_, packet_);
    av_packet_unref(packet_);
    return rc >= 0;
  }

  bool finish(std::string* error) override {
    if (!headerWritten_) {
      setError(error, "no recording open");
      return false;
    }
    headerWritten_ = false;
    const int rc = av_write_trailer(format_);
    release();
    if (rc < 0) {
      setError(error, "could not finalise recording: " + averror(rc));
      return false;
    }
    return true;
  }

 private:
  void release() {
    if (format_ && headerWritten_) av_write_trailer(format_);
    headerWritten_ = false;
    av_packet_free(&packet_);
    if (format_) {
      if (!(format_->oformat->flags & AVFMT_NOFILE) && format_->pb)
        avio_closep(&format_->pb);
      avformat_free_context(format_);
      format_ = nullptr;
    }
    stream_ = nullptr;
  }

  AVFormatContext* format_ = nullptr;
  AVStream* stream_ = nullptr;
  AVPacket* packet_ = nullptr;
  bool headerWritten_ = false;
  int64_t lastDts_ = 0;
};

class FfmpegH264Decoder final : public H264Decoder {
 public:
  ~FfmpegH264Decoder() override { close(); }

  bool open(std::string_view sequenceHeader, std::string* error) override {
    close();
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec) {
      setError(error, "no H.264 decoder");
      return false;
    }
    context_ = avcodec_alloc_context3(codec);
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (!context_ || !packet_ || !frame_) {
      setError(error, "decoder open failed");
      close();
      return false;
    }
    // A live picture: every frame out as soon as it is in, on this thread.
    context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    context_->thread_count = 1;
    if (!sequenceHeader.empty()) {
      context_->extradata = paddedCopy(sequenceHeader);
      context_->extradata_size = static_cast<int>(sequenceHeader.size());
    }
    if (avcodec_open2(context_, codec, nullptr) < 0) {
      setError(error, "decoder open failed");
      close();
      return false;
    }
    return true;
  }

  bool decode(std::string_view annexB,
              int32_t maxDimension,
              BgraFrame* out) override {
    if (!context_ || annexB.empty() ||
        annexB.size() > size_t(std::numeric_limits<int>::max()))
      return false;
    if (av_new_packet(packet_, static_cast<int>(annexB.size())) < 0)
      return false;
    std::memcpy(packet_->data, annexB.data(), annexB.size());
    const int sent = avcodec_send_packet(context_, packet_);
    av_packet_unref(packet_);
    if (sent < 0 && sent != AVERROR(EAGAIN)) return false;
    bool converted = false;
    // The newest picture counts; with no B-frames there is at most one.
    while (avcodec_receive_frame(context_, frame_) >= 0) {
      converted = convert(maxDimension, out) || converted;
      av_frame_unref(frame_);
    }
    return converted;
  }

  void close() override {
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&context_);
  }

 private:
  bool convert(int32_t maxDimension, BgraFrame* out) const {
    Yuv420Planes planes;
    planes.width = frame_->width;
    planes.height = frame_->height;
    planes.y = frame_->data[0];
    planes.yStride = frame_->linesize[0];
    switch (frame_->format) {
      case AV_PIX_FMT_YUV420P:
      case AV_PIX_FMT_YUVJ420P:
        planes.u = frame_->data[1];
        planes.v = frame_->data[2];
        planes.chromaStride = frame_->linesize[1];
        planes.chromaStep = 1;
        break;
      case AV_PIX_FMT_NV12:
        planes.u = frame_->data[1];
        planes.v = frame_->data[1] + 1;
        planes.chromaStride = frame_->linesize[1];
        planes.chromaStep = 2;
        break;
      default:
        return false;
    }
    if (planes.yStride < planes.width || planes.chromaStride < 1) return false;
    return yuv420ToBgra(planes, maxDimension, out);
  }

  AVCodecContext* context_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
};

class FfmpegStreamEncoder final : public H264StreamEncoder {
 public:
  ~FfmpegStreamEncoder() override {
    sws_freeContext(scaler_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&encoder_);
  }

  bool open(int32_t width,
            int32_t height,
            double fps,
            int32_t keyFrameInterval,
            int32_t bFrames,
            std::string* error) override {
    if (encoder_ || width < 2 || height < 2) {
      setError(error, "encoder already open or no frame size");
      return false;
    }
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) {
      setError(error, "no H.264 encoder");
      return false;
    }
    encoder_ = avcodec_alloc_context3(codec);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!encoder_ || !frame_ || !packet_) {
      setError(error, "out of memory");
      return false;
    }
    encoder_->width = width & ~1;
    encoder_->height = height & ~1;
    encoder_->framerate = av_d2q(fps > 0 ? fps : 30.0, 1000);
    encoder_->time_base = av_inv_q(encoder_->framerate);
    encoder_->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder_->gop_size = std::max(keyFrameInterval, 1);
    // The preset's own choice (none) gives way to the caller's.
    encoder_->max_b_frames = std::clamp(bFrames, 0, 16);
    encoder_->thread_count = 1;
    av_opt_set(encoder_->priv_data, "preset", "ultrafast", 0);
    // x264's own structure: two or more B-frames in a pyramid, the middle
    // one a reference (two places of reordering).
    if (bFrames >= 2) av_opt_set(encoder_->priv_data, "b-pyramid", "normal", 0);
    // Low delay holds no frame back, which rules B-frames out.
    if (bFrames <= 0) av_opt_set(encoder_->priv_data, "tune", "zerolatency", 0);
    av_opt_set(encoder_->priv_data, "crf", "18", 0);
    av_opt_set(encoder_->priv_data, "forced-idr", "1", 0);
    const int rc = avcodec_open2(encoder_, codec, nullptr);
    if (rc < 0) {
      setError(error, "could not open H.264 encoder: " + averror(rc));
      return false;
    }
    frame_->format = encoder_->pix_fmt;
    frame_->width = encoder_->width;
    frame_->height = encoder_->height;
    if (av_frame_get_buffer(frame_, 0) < 0) {
      setError(error, "out of memory");
      return false;
    }
    scaler_ = sws_getContext(encoder_->width,
                             encoder_->height,
                             AV_PIX_FMT_BGRA,
                             encoder_->width,
                             encoder_->height,
                             AV_PIX_FMT_YUV420P,
                             SWS_AREA,
                             nullptr,
                             nullptr,
                             nullptr);
    return scaler_ != nullptr;
  }

  bool encode(const BgraFrame& frame,
              bool forceKeyFrame,
              std::string* annexB,
              bool* keyFrame,
              int64_t* shownFrame) override {
    if (!scaler_ || frame.width < encoder_->width ||
        frame.height < encoder_->height || av_frame_make_writable(frame_) < 0)
      return false;
    const uint8_t* source[1] = {frame.pixels.data()};
    const int sourceStride[1] = {frame.stride};
    sws_scale(scaler_,
              source,
              sourceStride,
              0,
              encoder_->height,
              frame_->data,
              frame_->linesize);
    frame_->pts = pts_++;
    frame_->pict_type =
        forceKeyFrame ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    frame_->key_frame = forceKeyFrame ? 1 : 0;
    if (avcodec_send_frame(encoder_, frame_) < 0) return false;
    if (avcodec_receive_packet(encoder_, packet_) < 0) return false;
    annexB->assign(reinterpret_cast<const char*>(packet_->data),
                   static_cast<size_t>(packet_->size));
    *keyFrame = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
    *shownFrame = packet_->pts;
    av_packet_unref(packet_);
    return true;
  }

 private:
  AVCodecContext* encoder_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  SwsContext* scaler_ = nullptr;
  int64_t pts_ = 0;
};

}  // namespace

std::unique_ptr<EncodedRecordingWriter> createEncodedRecordingWriter() {
  return std::make_unique<FfmpegEncodedWriter>();
}

std::unique_ptr<H264Decoder> createH264Decoder() {
  return std::make_unique<FfmpegH264Decoder>();
}

std::unique_ptr<H264StreamEncoder> createH264StreamEncoder() {
  return std::make_unique<FfmpegStreamEncoder>();
}

}  // namespace pxowin
