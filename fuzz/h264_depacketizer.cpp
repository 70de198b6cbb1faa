// Any bytes as RTP payloads of an H.264 stream (the first two bytes of each
// 64-byte piece give its timestamp step and marker), and as an SPS.

#include "capture/rtsp/h264_depacketizer.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  pxo::H264Depacketizer depacketizer;
  size_t total = 0;
  depacketizer.setCallbacks(
      [&](std::span<const std::string_view> units, uint32_t, bool) {
        for (std::string_view unit : units) total += unit.size();
      },
      [](std::string_view, std::string_view) {});
  uint32_t timestamp = 0;
  for (size_t at = 0; at + 2 <= raw.size(); at += 64) {
    const std::string_view piece = raw.substr(at, 64);
    timestamp += uint8_t(piece[0]) & 3;
    depacketizer.addPacket(piece.substr(2), timestamp, piece[1] & 1);
  }
  // Each unit holds input bytes at most, and a key frame adds the stored
  // parameter sets (each at most the input) in front.
  if (total > 3 * raw.size() * raw.size() + 64) __builtin_trap();
  int32_t width = 0, height = 0;
  if (pxo::readSpsSize(raw, &width, &height) && (width < 1 || height < 1))
    __builtin_trap();
  // The VUI's restriction is taken only when it holds together, and the
  // depth is one a picture buffer can have.
  pxo::SpsFacts facts;
  if (pxo::readSps(raw, &facts)) {
    if (facts.maxNumReorderFrames &&
        (*facts.maxNumReorderFrames > *facts.maxDecFrameBuffering ||
         *facts.maxDecFrameBuffering > 16))
      __builtin_trap();
    const auto depth = pxo::reorderDepthOf(facts);
    if (depth && (depth->frames < 0 || depth->frames > 16)) __builtin_trap();
  }
  return 0;
}
