#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The text side of the RTSP client: URLs, header and parameter lookup,
// replies taken off the receive buffer, authentication, the SDP's video
// track, the Session header and RTP packet headers. Pure functions over
// strings; no sockets. Any thread.

namespace pxo {

struct RtspUrl {
  std::string user;
  std::string password;
  std::string host;  // without IPv6 brackets
  std::string port;  // "554" when the URL has none
  std::string path;  // "/" when the URL has none
  // "rtsp://" host ":" port path, the credentials removed.
  std::string requestUrl;
  bool valid = false;
};

// "rtsp://" or "rtsps://" (any letter case; both are plain TCP) with an
// optional "user:password@" and a non-empty host.
RtspUrl parseRtspUrl(std::string_view url);

// The value of the first "name:" anywhere in a header block (letter case
// ignored), trimmed, up to the line's end; "" when missing.
std::string findHeaderValue(std::string_view headers, std::string_view name);

// The value of `key=` in a parameter list (`key` at the start or after a
// space, comma, tab or semicolon; case-sensitive): a quoted value without
// its quotes ("" when unterminated), else up to a comma, CR, LF or space.
std::string findParameter(std::string_view text, std::string_view key);

struct RtspResponse {
  bool ok = false;
  int32_t status = 0;
  std::string headers;  // the status line and headers as received
  std::string body;     // exactly Content-Length bytes
};

// A reply's header block or body above this fails the request: a camera
// that floods the connection cannot exhaust the caller.
inline constexpr size_t kMaxRtspReplyBytes = size_t{1} << 20;

enum class RtspTake {
  kNeedMore,  // receive more and try again
  kTaken,     // `reply` filled and consumed from the buffer
  kBad,       // not an RTSP reply, or too large; the request fails
};

// Takes one reply off the front of `buffer`, first dropping any whole
// interleaved frames ("$", channel, 16-bit length) that arrived before it.
RtspTake takeRtspResponse(std::string* buffer, RtspResponse* reply);

// The server's last WWW-Authenticate challenge and the Digest counter.
struct RtspAuth {
  bool digest = false;
  std::string realm;
  std::string nonce;
  std::string qop;
  std::string opaque;
  std::string algorithm;
  uint32_t nonceCount = 0;
};

// Remembers a challenge: Digest with its parameters, else Basic (realm
// only).
void readChallenge(std::string_view wwwAuthenticate, RtspAuth* auth);

// The Authorization value for `method` on `uri`; "" without credentials.
// Digest with a qop counts `nonceCount` up.
std::string buildAuthorization(RtspAuth* auth,
                               std::string_view user,
                               std::string_view password,
                               std::string_view method,
                               std::string_view uri);

enum class RtspCodec : int32_t { kNone = 0, kH264 = 1, kH265 = 2 };

// The video track of a DESCRIBE reply's SDP.
struct SdpVideo {
  RtspCodec codec = RtspCodec::kNone;
  int32_t payloadType = 96;
  int32_t clockRate = 90000;
  std::string contentBase;
  std::string controlUrl;  // the video track's, for SETUP
  // For PLAY, GET_PARAMETER and TEARDOWN: the aggregate (the content
  // base) when the SDP has a session-level control, else the track's.
  std::string playUrl;
  std::string sps;  // from sprop-parameter-sets, when given
  std::string pps;
};

// `headerBase` is the reply's Content-Base (or Content-Location).
SdpVideo parseSdp(std::string_view sdp,
                  std::string_view headerBase,
                  std::string_view requestUrl);

// A relative control URL joined to the base with exactly one "/".
std::string resolveControlUrl(std::string_view base,
                              std::string_view control,
                              std::string_view requestUrl);

struct RtspSessionHeader {
  std::string id;
  int32_t timeoutSeconds = 60;
};
RtspSessionHeader parseSessionHeader(std::string_view value);

// Seconds between keep-alives: 70 % of the session timeout, or 20 when
// the timeout is 5 seconds or less.
int32_t keepAliveSeconds(int32_t timeoutSeconds);

struct RtpPacket {
  std::string_view payload;
  uint32_t timestamp = 0;
  bool marker = false;
  int32_t payloadType = 0;
};

// Version 2, CSRCs, extension and padding taken off; false when the
// header does not fit.
[[nodiscard]] bool parseRtpPacket(std::string_view packet, RtpPacket* out);

}  // namespace pxo
