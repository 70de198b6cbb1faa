// Recording and extraction through FFmpeg: H.264 in MP4 with libx264 at
// 4:4:4 (colour-multiplexed LEDs a few pixels apart must not share
// chroma), frames keeping their own capture times, and a reader that seeks
// only when the wanted time lies behind it or far ahead.
//
// FFmpeg 5 needs no process-wide start-up, so there is no start-up count.

#include "capture/ffmpeg/ffmpeg_output.h"
#include "capture/media.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace pxowin {

namespace {

constexpr AVRational kMicroseconds = {1, 1000000};
// A keyframe every half second or so keeps a backward seek cheap.
constexpr int kKeyframeInterval = 15;
constexpr int kMaxReads = 300;
// Wanted times this far past the current frame are reached by decoding on;
// further ahead, by seeking.
constexpr double kForwardWindowSeconds = 1.0;

void setError(std::string* error, const std::string& message) {
  if (error) *error = message;
}

// Decoded frames to packed BGRA, reduced as downscaleFrame reduces them:
// what the extractor hands back, and what the writer hands on of the frames
// it wrote.
class FrameConverter {
 public:
  ~FrameConverter() { release(); }

  bool convert(const AVFrame* frame,
               double time,
               int32_t maxDimension,
               BgraFrame* out,
               std::string* error) {
    maxDimension_ = maxDimension;
    if (frame->width < 1 || frame->height < 1) {
      setError(error, "frame convert failed");
      return false;
    }
    const bool planar444 = frame->format == AV_PIX_FMT_YUV444P ||
                           frame->format == AV_PIX_FMT_YUVJ444P;
    if (std::max(frame->width, frame->height) > maxDimension_ &&
        maxDimension_ > 0) {
      if (!planar444) {
        BgraFrame full;
        if (!convertFull(frame, time, &full, error)) return false;
        *out = downscaleFrame(full, maxDimension_);
        return true;
      }
      // Our own recordings: pick the pixels downscaleFrame would keep from
      // the planes first, so only the reduced picture is converted.
      if (!reduce(frame)) {
        setError(error, "out of memory");
        return false;
      }
      return convertFull(reduced_, time, out, error);
    }
    return convertFull(frame, time, out, error);
  }

  // Point-samples a planar 4:4:4 frame into reduced_, at the size and with
  // the source pixels downscaleFrame gives for maxDimension_.
  bool reduce(const AVFrame* frame) {
    const auto [width, height] =
        downscaledSize(frame->width, frame->height, maxDimension_);
    if (!reduced_ || reduced_->width != width || reduced_->height != height ||
        reduced_->format != frame->format) {
      av_frame_free(&reduced_);
      reduced_ = av_frame_alloc();
      if (!reduced_) return false;
      reduced_->format = frame->format;
      reduced_->width = width;
      reduced_->height = height;
      if (av_frame_get_buffer(reduced_, 0) < 0) {
        av_frame_free(&reduced_);
        return false;
      }
    }
    reduced_->color_range = frame->color_range;
    reduced_->colorspace = frame->colorspace;
    const double scale =
        double(maxDimension_) / std::max(frame->width, frame->height);
    columns_.resize(static_cast<size_t>(width));
    for (int32_t x = 0; x < width; ++x)
      columns_[static_cast<size_t>(x)] =
          std::min(static_cast<int32_t>(x / scale), frame->width - 1);
    for (int plane = 0; plane < 3; ++plane)
      for (int32_t y = 0; y < height; ++y) {
        const int32_t sy =
            std::min(static_cast<int32_t>(y / scale), frame->height - 1);
        const uint8_t* src = frame->data[plane] + static_cast<ptrdiff_t>(sy) *
                                                      frame->linesize[plane];
        uint8_t* dst = reduced_->data[plane] +
                       static_cast<ptrdiff_t>(y) * reduced_->linesize[plane];
        for (int32_t x = 0; x < width; ++x)
          dst[x] = src[columns_[static_cast<size_t>(x)]];
      }
    return true;
  }

  bool convertFull(const AVFrame* frame,
                   double time,
                   BgraFrame* out,
                   std::string* error) {
    scaler_ = sws_getCachedContext(scaler_,
                                   frame->width,
                                   frame->height,
                                   static_cast<AVPixelFormat>(frame->format),
                                   frame->width,
                                   frame->height,
                                   AV_PIX_FMT_BGRA,
                                   SWS_POINT,
                                   nullptr,
                                   nullptr,
                                   nullptr);
    if (!scaler_) {
      setError(error, "frame convert failed");
      return false;
    }
    out->width = frame->width;
    out->height = frame->height;
    out->stride = frame->width * 4;
    out->pixels.resize(static_cast<size_t>(out->stride) * out->height);
    uint8_t* target[1] = {out->pixels.data()};
    int targetStride[1] = {out->stride};
    sws_scale(scaler_,
              frame->data,
              frame->linesize,
              0,
              frame->height,
              target,
              targetStride);
    out->timestamp = time;
    return true;
  }

  void release() {
    sws_freeContext(scaler_);
    scaler_ = nullptr;
    av_frame_free(&reduced_);
  }

 private:
  SwsContext* scaler_ = nullptr;
  AVFrame* reduced_ = nullptr;
  std::vector<int32_t> columns_;
  int32_t maxDimension_ = 0;
};

// A frame's time in seconds, as a reader of the file gets it.
double frameSeconds(const AVFrame* frame, double timeBase) {
  int64_t pts = frame->best_effort_timestamp != AV_NOPTS_VALUE
                    ? frame->best_effort_timestamp
                    : frame->pts;
  return pts == AV_NOPTS_VALUE ? 0.0 : static_cast<double>(pts) * timeBase;
}

// Decodes the packets a writer wrote, on a thread of its own, and hands
// each picture on as the file's reader would give it.
class WrittenFrameDecoder {
 public:
  ~WrittenFrameDecoder() { stop(false); }

  bool start(const AVStream* stream,
             std::function<void(const BgraFrame&)> sink) {
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    decoder_ = codec ? avcodec_alloc_context3(codec) : nullptr;
    frame_ = av_frame_alloc();
    if (!decoder_ || !frame_ ||
        avcodec_parameters_to_context(decoder_, stream->codecpar) < 0)
      return false;
    // One thread: every picture comes out as soon as its packet went in.
    decoder_->thread_count = 1;
    decoder_->pkt_timebase = stream->time_base;
    if (avcodec_open2(decoder_, codec, nullptr) < 0) return false;
    timeBase_ = av_q2d(stream->time_base);
    sink_ = std::move(sink);
    thread_ = std::thread([this] { run(); });
    return true;
  }

  // A copy of `packet`'s bytes goes to the thread: no buffer of the
  // writer's is ever let go there.
  void push(const AVPacket* packet) {
    Written copy{
        std::vector<uint8_t>(packet->data, packet->data + packet->size),
        packet->pts,
        packet->dts,
        packet->flags};
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(copy));
    wake_.notify_one();
  }

  // Ends the thread: with `drain`, after every packet and the decoder's
  // last pictures were handed on.
  void stop(bool drain) {
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
      drain_ = drain;
      wake_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
    queue_.clear();
    av_frame_free(&frame_);
    avcodec_free_context(&decoder_);
  }

 private:
  void run() {
    for (;;) {
      Written written;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return closing_ || !queue_.empty(); });
        if (closing_ && (!drain_ || queue_.empty())) break;
        written = std::move(queue_.front());
        queue_.pop_front();
      }
      AVPacket* packet = av_packet_alloc();
      if (packet &&
          av_new_packet(packet, static_cast<int>(written.data.size())) == 0) {
        std::memcpy(packet->data, written.data.data(), written.data.size());
        packet->pts = written.pts;
        packet->dts = written.dts;
        packet->flags = written.flags;
        (void)avcodec_send_packet(decoder_, packet);
      }
      av_packet_free(&packet);
      handOn();
    }
    if (drain_) {
      (void)avcodec_send_packet(decoder_, nullptr);
      handOn();
    }
  }

  void handOn() {
    while (avcodec_receive_frame(decoder_, frame_) == 0) {
      BgraFrame out;
      if (converter_.convert(
              frame_, frameSeconds(frame_, timeBase_), 0, &out, nullptr))
        sink_(out);
      av_frame_unref(frame_);
    }
  }

  AVCodecContext* decoder_ = nullptr;
  AVFrame* frame_ = nullptr;
  FrameConverter converter_;
  double timeBase_ = 1e-6;
  std::function<void(const BgraFrame&)> sink_;
  std::mutex mutex_;
  std::condition_variable wake_;
  struct Written {
    std::vector<uint8_t> data;
    int64_t pts = 0;
    int64_t dts = 0;
    int flags = 0;
  };
  std::deque<Written> queue_;
  bool closing_ = false;
  bool drain_ = false;
  std::thread thread_;
};

class FfmpegWriter final : public RecordingWriter {
 public:
  ~FfmpegWriter() override { release(); }

  bool decodeWritten(
      const std::function<void(const BgraFrame&)>& sink) override {
    sink_ = sink;
    return true;
  }

  bool open(const std::filesystem::path& path,
            int32_t width,
            int32_t height,
            double nominalFps,
            std::string* error) override {
    release();
    if (width < 1 || height < 1) {
      setError(error, "no frame size to record");
      return false;
    }
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (!codec) {
      setError(error, "no H.264 encoder");
      return false;
    }
    int rc =
        avformat_alloc_output_context2(&format_, nullptr, "mp4", path.c_str());
    if (rc < 0 || !format_) {
      setError(error, "could not create recording: " + averror(rc));
      return false;
    }
    stream_ = avformat_new_stream(format_, nullptr);
    encoder_ = avcodec_alloc_context3(codec);
    if (!stream_ || !encoder_) {
      setError(error, "could not create recording stream");
      release();
      return false;
    }
    encoder_->width = width;
    encoder_->height = height;
    encoder_->time_base = kMicroseconds;
    AVRational fps = av_d2q(nominalFps > 0 ? nominalFps : 30.0, 1000);
    encoder_->framerate = fps;
    encoder_->pix_fmt = AV_PIX_FMT_YUV444P;
    encoder_->gop_size = kKeyframeInterval;
    encoder_->max_b_frames = 0;
    if (format_->oformat->flags & AVFMT_GLOBALHEADER)
      encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(encoder_->priv_data, "preset", "ultrafast", 0);
    av_opt_set(encoder_->priv_data, "tune", "zerolatency", 0);
    av_opt_set(encoder_->priv_data, "crf", "14", 0);
    rc = avcodec_open2(encoder_, codec, nullptr);
    if (rc < 0) {
      setError(error, "could not open H.264 encoder: " + averror(rc));
      release();
      return false;
    }
    avcodec_parameters_from_context(stream_->codecpar, encoder_);
    stream_->time_base = kMicroseconds;
    stream_->avg_frame_rate = fps;
    stream_->r_frame_rate = fps;
    if (!startOutputFile(format_, path, error)) {
      release();
      return false;
    }
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    frame_->format = encoder_->pix_fmt;
    frame_->width = width;
    frame_->height = height;
    if (!frame_ || !packet_ || av_frame_get_buffer(frame_, 0) < 0) {
      setError(error, "out of memory");
      release();
      return false;
    }
    scaler_ = sws_getContext(width,
                             height,
                             AV_PIX_FMT_BGRA,
                             width,
                             height,
                             AV_PIX_FMT_YUV444P,
                             SWS_POINT,
                             nullptr,
                             nullptr,
                             nullptr);
    width_ = width;
    height_ = height;
    lastPts_ = std::numeric_limits<int64_t>::min();
    headerWritten_ = true;
    if (sink_) {
      // Without a decoder of its own the recording is still written; its
      // frames are then read from the file.
      written_ = std::make_unique<WrittenFrameDecoder>();
      if (!written_->start(stream_, sink_)) written_.reset();
    }
    return scaler_ != nullptr;
  }

  bool write(const BgraFrame& frame, double time) override {
    if (!encoder_ || frame.width != width_ || frame.height != height_)
      return false;
    if (av_frame_make_writable(frame_) < 0) return false;
    const uint8_t* source[1] = {frame.pixels.data()};
    int sourceStride[1] = {frame.stride};
    sws_scale(scaler_,
              source,
              sourceStride,
              0,
              height_,
              frame_->data,
              frame_->linesize);
    int64_t pts = static_cast<int64_t>(std::llround(std::max(time, 0.0) * 1e6));
    if (pts <= lastPts_) pts = lastPts_ + 1;
    lastPts_ = pts;
    frame_->pts = pts;
    return send(frame_);
  }

  bool finish(std::string* error) override {
    if (!encoder_) {
      setError(error, "no recording open");
      return false;
    }
    bool ok = send(nullptr);
    if (written_) written_->stop(true);
    written_.reset();
    int rc = av_write_trailer(format_);
    if (rc < 0) {
      ok = false;
      setError(error, "could not finalise recording: " + averror(rc));
    }
    headerWritten_ = false;
    release();
    return ok;
  }

 private:
  bool send(AVFrame* frame) {
    if (avcodec_send_frame(encoder_, frame) < 0) return false;
    for (;;) {
      int rc = avcodec_receive_packet(encoder_, packet_);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
      if (rc < 0) return false;
      av_packet_rescale_ts(packet_, encoder_->time_base, stream_->time_base);
      packet_->stream_index = stream_->index;
      if (written_) written_->push(packet_);
      rc = av_interleaved_write_frame(format_, packet_);
      av_packet_unref(packet_);
      if (rc < 0) return false;
    }
  }

  void release() {
    written_.reset();
    if (format_ && headerWritten_) av_write_trailer(format_);
    headerWritten_ = false;
    sws_freeContext(scaler_);
    scaler_ = nullptr;
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&encoder_);
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
  AVCodecContext* encoder_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  SwsContext* scaler_ = nullptr;
  int32_t width_ = 0, height_ = 0;
  int64_t lastPts_ = 0;
  bool headerWritten_ = false;
  std::function<void(const BgraFrame&)> sink_;
  std::unique_ptr<WrittenFrameDecoder> written_;
};

class FfmpegExtractor final : public FrameExtractor {
 public:
  ~FfmpegExtractor() override { close(); }

  bool open(const std::filesystem::path& path, std::string* error) override {
    close();
    if (avformat_open_input(&format_, path.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(format_, nullptr) < 0) {
      close();
      setError(error, "could not open recording for extraction");
      return false;
    }
    const AVCodec* codec = nullptr;
    streamIndex_ =
        av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (streamIndex_ < 0 || !codec) {
      close();
      setError(error, "could not open recording for extraction");
      return false;
    }
    AVStream* stream = format_->streams[streamIndex_];
    decoder_ = avcodec_alloc_context3(codec);
    // Every frame of the recording is decoded to reach the marks; frame
    // threads spread that over the cores. ThreadSanitizer cannot see how
    // the (uninstrumented) library hands frames between its threads, so
    // under it the decoder keeps to one.
#if defined(__SANITIZE_THREAD__)
    if (decoder_) decoder_->thread_count = 1;
#else
    if (decoder_) decoder_->thread_count = 0;
#endif
    if (!decoder_ ||
        avcodec_parameters_to_context(decoder_, stream->codecpar) < 0 ||
        avcodec_open2(decoder_, codec, nullptr) < 0) {
      close();
      setError(error, "could not negotiate RGB32 for extraction");
      return false;
    }
    timeBase_ = av_q2d(stream->time_base);
    AVRational rate = stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate
                                                     : stream->r_frame_rate;
    frameDuration_ =
        rate.num > 0 && rate.den > 0 ? av_q2d(av_inv_q(rate)) : 1.0 / 30;
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    current_ = av_frame_alloc();
    resetPosition();
    fresh_ = true;
    return true;
  }

  bool isOpen() const override { return decoder_ != nullptr; }

  void close() override {
    converter_.release();
    av_frame_free(&frame_);
    av_frame_free(&current_);
    av_packet_free(&packet_);
    avcodec_free_context(&decoder_);
    avformat_close_input(&format_);
    haveCurrent_ = false;
  }

  bool frameAt(double time,
               int32_t maxDimension,
               BgraFrame* out,
               std::string* error) override {
    maxDimension_ = maxDimension;
    if (!decoder_) {
      setError(error, "extractor not open");
      return false;
    }
    // The answer is the first frame whose time + duration reaches `time`.
    // Reuse the current frame when it is that one, decode on when the time
    // lies a little ahead, and seek otherwise.
    if (haveCurrent_ && currentTime_ + frameDuration_ >= time) {
      bool earlierReaches = std::isnan(previousTime_)
                                ? time <= currentTime_
                                : previousTime_ + frameDuration_ >= time;
      if (!earlierReaches)
        return converter_.convert(
            current_, currentTime_, maxDimension_, out, error);
      seek(time);
    } else if (!haveCurrent_ ? !fresh_ || time > kForwardWindowSeconds
                             : exhausted_ || time - currentTime_ >
                                                 kForwardWindowSeconds) {
      seek(time);
    }

    for (int reads = 0; reads < kMaxReads; ++reads) {
      if (!nextFrame()) break;
      double t = frameTime(frame_);
      // Before the first frame after opening lies nothing; before the first
      // after a seek lies something unknown.
      previousTime_ = haveCurrent_ ? currentTime_
                      : fresh_     ? -std::numeric_limits<double>::infinity()
                                   : std::numeric_limits<double>::quiet_NaN();
      av_frame_unref(current_);
      av_frame_move_ref(current_, frame_);
      currentTime_ = t;
      haveCurrent_ = true;
      if (t + frameDuration_ >= time)
        return converter_.convert(current_, t, maxDimension_, out, error);
    }
    exhausted_ = true;
    setError(error, "no frame at requested time");
    return false;
  }

 private:
  double frameTime(const AVFrame* frame) const {
    return frameSeconds(frame, timeBase_);
  }

  void resetPosition() {
    haveCurrent_ = false;
    previousTime_ = std::numeric_limits<double>::quiet_NaN();
    draining_ = false;
    exhausted_ = false;
  }

  void seek(double time) {
    auto target = static_cast<int64_t>(std::max(time, 0.0) / timeBase_);
    av_seek_frame(format_, streamIndex_, target, AVSEEK_FLAG_BACKWARD);
    avcodec_flush_buffers(decoder_);
    resetPosition();
    fresh_ = false;
  }

  // Decodes the next frame into frame_; false at the end or on an error.
  bool nextFrame() {
    for (;;) {
      int rc = avcodec_receive_frame(decoder_, frame_);
      if (rc == 0) return true;
      if (rc != AVERROR(EAGAIN) || draining_) return false;
      rc = av_read_frame(format_, packet_);
      if (rc < 0) {
        draining_ = true;
        avcodec_send_packet(decoder_, nullptr);
        continue;
      }
      if (packet_->stream_index == streamIndex_)
        avcodec_send_packet(decoder_, packet_);
      av_packet_unref(packet_);
    }
  }

  AVFormatContext* format_ = nullptr;
  AVCodecContext* decoder_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVFrame* current_ = nullptr;
  FrameConverter converter_;
  int32_t maxDimension_ = 0;
  int streamIndex_ = -1;
  double timeBase_ = 1e-6;
  double frameDuration_ = 1.0 / 30;
  bool haveCurrent_ = false;
  bool fresh_ = true;
  bool exhausted_ = false;
  bool draining_ = false;
  double currentTime_ = 0;
  double previousTime_ = 0;
};

}  // namespace

// The library writes nothing to the standard error stream but its own
// diagnostics; FFmpeg's reports (the encoder's statistics) are silenced.
static void quietFfmpeg() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

std::unique_ptr<RecordingWriter> createRecordingWriter() {
  quietFfmpeg();
  return std::make_unique<FfmpegWriter>();
}

std::unique_ptr<FrameExtractor> createFrameExtractor() {
  quietFfmpeg();
  return std::make_unique<FfmpegExtractor>();
}

}  // namespace pxowin
