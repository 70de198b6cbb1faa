// Motion-JPEG camera frames decoded with libavcodec.

#include "capture/pixel_convert.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

namespace pxowin {

namespace {

class FfmpegMjpegDecoder final : public MjpegDecoder {
 public:
  FfmpegMjpegDecoder() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    if (codec) context_ = avcodec_alloc_context3(codec);
    if (context_ && avcodec_open2(context_, codec, nullptr) < 0)
      avcodec_free_context(&context_);
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
  }
  ~FfmpegMjpegDecoder() override {
    sws_freeContext(scaler_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&context_);
  }

  bool decode(std::span<const uint8_t> jpeg,
              BgraFrame* out,
              std::string* error) override {
    auto fail = [&] {
      if (error) *error = "could not decode MJPEG frame";
      return false;
    };
    if (!context_ || !packet_ || !frame_ || jpeg.empty()) return fail();
    // The decoder reads a little past the end: copy into a padded buffer.
    if (av_new_packet(packet_, static_cast<int>(jpeg.size())) < 0)
      return fail();
    std::copy(jpeg.begin(), jpeg.end(), packet_->data);
    int rc = avcodec_send_packet(context_, packet_);
    av_packet_unref(packet_);
    if (rc < 0 || avcodec_receive_frame(context_, frame_) < 0) return fail();
    scaler_ = sws_getCachedContext(scaler_,
                                   frame_->width,
                                   frame_->height,
                                   static_cast<AVPixelFormat>(frame_->format),
                                   frame_->width,
                                   frame_->height,
                                   AV_PIX_FMT_BGRA,
                                   SWS_POINT,
                                   nullptr,
                                   nullptr,
                                   nullptr);
    if (!scaler_) return fail();
    out->width = frame_->width;
    out->height = frame_->height;
    out->stride = frame_->width * 4;
    out->pixels.resize(static_cast<size_t>(out->stride) * out->height);
    uint8_t* target[1] = {out->pixels.data()};
    int stride[1] = {out->stride};
    sws_scale(scaler_,
              frame_->data,
              frame_->linesize,
              0,
              frame_->height,
              target,
              stride);
    av_frame_unref(frame_);
    return true;
  }

 private:
  AVCodecContext* context_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  SwsContext* scaler_ = nullptr;
};

}  // namespace

std::unique_ptr<MjpegDecoder> createMjpegDecoder() {
  return std::make_unique<FfmpegMjpegDecoder>();
}

}  // namespace pxowin
