// Any bytes as what a camera sends on the RTSP connection: replies taken
// off the buffer in pieces, their headers and parameters, and RTP packets.

#include "capture/rtsp/rtsp_text.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  // Fed in pieces of up to 7 bytes, as receives may split it.
  std::string buffer;
  size_t consumed = 0;
  for (size_t at = 0; at < raw.size(); at += 7) {
    buffer.append(raw.substr(at, 7));
    pxo::RtspResponse reply;
    const size_t before = buffer.size();
    const pxo::RtspTake take = pxo::takeRtspResponse(&buffer, &reply);
    if (buffer.size() > before) __builtin_trap();
    consumed += before - buffer.size();
    if (take == pxo::RtspTake::kBad) break;
    if (take == pxo::RtspTake::kTaken) {
      if (!reply.ok || reply.body.size() > raw.size()) __builtin_trap();
      (void)pxo::parseSessionHeader(
          pxo::findHeaderValue(reply.headers, "Session"));
      (void)pxo::findParameter(
          pxo::findHeaderValue(reply.headers, "WWW-Authenticate"), "nonce");
      pxo::RtspAuth auth;
      pxo::readChallenge(reply.headers, &auth);
      (void)pxo::buildAuthorization(&auth, "u", "p", "DESCRIBE", "rtsp://c/");
    }
  }
  if (consumed > raw.size()) __builtin_trap();
  pxo::RtpPacket rtp;
  if (pxo::parseRtpPacket(raw, &rtp) &&
      (rtp.payload.data() < raw.data() ||
       rtp.payload.data() + rtp.payload.size() > raw.data() + raw.size()))
    __builtin_trap();
  (void)pxo::parseRtspUrl(raw);
  return 0;
}
