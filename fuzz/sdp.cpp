// Any bytes as the SDP of a DESCRIBE reply, and as the control URLs in it.

#include "capture/rtsp/rtsp_text.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  const pxo::SdpVideo video =
      pxo::parseSdp(raw, "rtsp://cam:554/base/", "rtsp://cam:554/base");
  if (video.controlUrl.find("://") == std::string_view::npos) __builtin_trap();
  if (video.sps.size() > raw.size() || video.pps.size() > raw.size())
    __builtin_trap();
  if (video.clockRate <= 0) __builtin_trap();
  return 0;
}
