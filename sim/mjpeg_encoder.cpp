#include "sim/mjpeg_encoder.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

namespace pxo::sim {

struct MjpegEncoder::State {
  AVCodecContext* context = nullptr;
  AVFrame* picture = nullptr;
  AVPacket* packet = nullptr;
  SwsContext* scaler = nullptr;
  int32_t width = 0;
  int32_t height = 0;

  ~State() { close(); }
  void close() {
    sws_freeContext(scaler);
    scaler = nullptr;
    av_frame_free(&picture);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    width = height = 0;
  }
};

MjpegEncoder::MjpegEncoder(int32_t quality)
    : state_(std::make_unique<State>()),
      quantiser_(static_cast<int32_t>(
          std::lround(2 + (100 - std::clamp(quality, 1, 100)) * 29.0 / 99))) {}

MjpegEncoder::~MjpegEncoder() = default;

bool MjpegEncoder::encode(const pxowin::BgraFrame& frame,
                          std::vector<uint8_t>* jpeg) {
  State& s = *state_;
  if (frame.width < 2 || frame.height < 2 ||
      frame.pixels.size() < static_cast<size_t>(frame.stride) * frame.height)
    return false;
  if (s.width != frame.width || s.height != frame.height) {
    s.close();
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (!codec || !(s.context = avcodec_alloc_context3(codec))) return false;
    s.context->width = frame.width;
    s.context->height = frame.height;
    s.context->pix_fmt = AV_PIX_FMT_YUVJ422P;
    s.context->time_base = {1, 30};
    s.context->flags |= AV_CODEC_FLAG_QSCALE;
    s.context->global_quality = FF_QP2LAMBDA * quantiser_;
    s.picture = av_frame_alloc();
    s.packet = av_packet_alloc();
    if (avcodec_open2(s.context, codec, nullptr) < 0 || !s.picture ||
        !s.packet) {
      s.close();
      return false;
    }
    s.picture->format = AV_PIX_FMT_YUVJ422P;
    s.picture->width = frame.width;
    s.picture->height = frame.height;
    if (av_frame_get_buffer(s.picture, 0) < 0) {
      s.close();
      return false;
    }
    s.scaler = sws_getContext(frame.width,
                              frame.height,
                              AV_PIX_FMT_BGRA,
                              frame.width,
                              frame.height,
                              AV_PIX_FMT_YUVJ422P,
                              SWS_POINT,
                              nullptr,
                              nullptr,
                              nullptr);
    if (!s.scaler) {
      s.close();
      return false;
    }
    s.width = frame.width;
    s.height = frame.height;
  }
  if (av_frame_make_writable(s.picture) < 0) return false;
  const uint8_t* source[1] = {frame.pixels.data()};
  const int stride[1] = {frame.stride};
  sws_scale(s.scaler,
            source,
            stride,
            0,
            frame.height,
            s.picture->data,
            s.picture->linesize);
  s.picture->quality = s.context->global_quality;
  if (avcodec_send_frame(s.context, s.picture) < 0 ||
      avcodec_receive_packet(s.context, s.packet) < 0)
    return false;
  jpeg->assign(s.packet->data, s.packet->data + s.packet->size);
  av_packet_unref(s.packet);
  return true;
}

}  // namespace pxo::sim
