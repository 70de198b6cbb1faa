// The live picture of a network camera: a 1080p30 H.264 stream (moving
// content, a key frame every second) as RTP packets through the
// depacketiser, decoded and converted to the ≤ 640-pixel preview. The
// "core_share" counter is the share of one core the stream needs at 30
// frames a second (the target is under 0.5); recording never decodes.

#include "capture/media.h"
#include "capture/rtsp/h264_depacketizer.h"
#include "capture/rtsp/rtsp_text.h"

#include "sim/network_camera.h"

#include <chrono>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace pxowin {
namespace {

constexpr int32_t kWidth = 1920, kHeight = 1080, kFrames = 90;

BgraFrame movingPicture(int32_t frame) {
  BgraFrame picture;
  picture.width = kWidth;
  picture.height = kHeight;
  picture.stride = kWidth * 4;
  picture.pixels.resize(size_t(picture.stride) * kHeight);
  uint32_t noise = 12345u + uint32_t(frame);
  for (int32_t y = 0; y < kHeight; ++y)
    for (int32_t x = 0; x < kWidth; ++x) {
      uint8_t* p = picture.pixels.data() + size_t(y) * picture.stride + 4 * x;
      noise = noise * 1664525u + 1013904223u;
      const int grain = int(noise >> 29);
      p[0] = uint8_t(((x + 3 * frame) / 40 % 2 ? 160 : 40) + grain);
      p[1] = uint8_t(((y + 2 * frame) / 30 % 2 ? 150 : 50) + grain);
      p[2] = uint8_t((x * y / 977 + frame) % 200 + grain);
      p[3] = 255;
    }
  return picture;
}

// The stream, as the camera's packets, made once.
const std::vector<std::vector<std::string>>& streamPackets() {
  static const auto packets = [] {
    std::vector<std::vector<std::string>> all;
    auto encoder = createH264StreamEncoder();
    if (!encoder->open(kWidth, kHeight, 30, 30, 0, nullptr)) return all;
    uint16_t sequence = 0;
    for (int32_t f = 0; f < kFrames; ++f) {
      std::string unit;
      bool key = false;
      int64_t shown = 0;
      if (!encoder->encode(movingPicture(f), false, &unit, &key, &shown))
        continue;
      all.push_back(
          pxo::sim::h264RtpPackets(unit, uint32_t(f) * 3000u, 1400, &sequence));
    }
    return all;
  }();
  return packets;
}

void BM_LivePreview1080p(benchmark::State& state) {
  const auto& stream = streamPackets();
  if (stream.size() != size_t(kFrames)) {
    state.SkipWithError("could not encode the stream");
    return;
  }
  int64_t pictures = 0;
  for (auto _ : state) {
    auto decoder = createH264Decoder();
    if (!decoder->open("", nullptr)) {
      state.SkipWithError("no decoder");
      break;
    }
    pxo::H264Depacketizer depacketizer;
    std::string annexB;
    BgraFrame preview;
    depacketizer.setCallbacks(
        [&](std::span<const std::string_view> units, uint32_t, bool) {
          annexB.clear();
          for (std::string_view unit : units)
            annexB.append("\0\0\0\1", 4).append(unit);
          if (decoder->decode(annexB, 640, &preview)) ++pictures;
        },
        nullptr);
    for (const auto& frame : stream)
      for (const std::string& packet : frame) {
        pxo::RtpPacket rtp;
        if (pxo::parseRtpPacket(packet, &rtp))
          depacketizer.addPacket(rtp.payload, rtp.timestamp, rtp.marker);
      }
    benchmark::DoNotOptimize(preview.pixels.data());
  }
  const double frames = double(state.iterations()) * kFrames;
  state.counters["pictures"] =
      benchmark::Counter(double(pictures) / double(state.iterations()));
  state.counters["ms_per_frame"] = benchmark::Counter(
      frames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  // Seconds of work per second of stream at 30 frames a second.
  state.counters["core_share"] = benchmark::Counter(
      frames / 30.0, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.SetItemsProcessed(int64_t(frames));
}
BENCHMARK(BM_LivePreview1080p)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace pxowin
