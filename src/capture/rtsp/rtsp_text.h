#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The text side of the RTSP client: URLs, header and parameter lookup,
// replies taken off the receive buffer, authentication, the SDP's video
// track, the Session header and RTP packet headers. Pure functions over
// strings; no sockets. Any thread.

namespace pxo {

struct RtspUrl {
  std::string user;      // percent-escapes decoded (percentDecode)
  std::string password;  // percent-escapes decoded
  std::string host;      // without IPv6 brackets
  std::string port;      // "554" when the URL has none
  std::string path;      // "/" when the URL has none
  // "rtsp://" host ":" port path, the credentials removed.
  std::string requestUrl;
  bool valid = false;
  // Why an invalid URL is one, for the user: "invalid rtsp url" and, where
  // it helps, what to write instead.
  std::string problem;
};

// "rtsp://" or "rtsps://" (any letter case; both are plain TCP) with an
// optional "user:password@" and a non-empty host. The user information
// runs to the last "@" of the authority, so a raw "@" in a password works;
// a raw "/" does not (it ends the authority) and is reported through the
// port it leaves behind.
RtspUrl parseRtspUrl(std::string_view url);

// The value of the first "name:" anywhere in a header block (letter case
// ignored), trimmed, up to the line's end; "" when missing.
std::string findHeaderValue(std::string_view headers, std::string_view name);

// The value of `key=` in a parameter list (`key` at the start or after a
// space, comma, tab or semicolon; case-sensitive): a quoted value without
// its quotes ("" when unterminated), else up to a comma, CR, LF or space.
std::string findParameter(std::string_view text, std::string_view key);

// Why a request got no reply.
enum class RtspNoReply {
  kTimedOut,   // nothing, or never a whole reply, in time
  kClosed,     // the camera closed the connection
  kFailed,     // the socket failed
  kMalformed,  // not an RTSP reply, or too large
};

struct RtspResponse {
  bool ok = false;
  RtspNoReply noReply = RtspNoReply::kTimedOut;  // when not ok
  int32_t status = 0;
  std::string headers;  // the status line and headers as received
  std::string body;     // exactly Content-Length bytes
};

// What a failed request tells the user, in one style for every method:
// "SETUP: no response (the camera closed the connection)", "PLAY:
// authentication failed", "SETUP failed: status 461 (Unsupported
// Transport): …". Meant for a reply that is not ok or not 200.
std::string rtspRequestFailure(std::string_view method,
                               const RtspResponse& reply);

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

// The value of every "name:" header line of a block, in order.
std::vector<std::string> findHeaderValues(std::string_view headers,
                                          std::string_view name);

enum class RtspScheme { kNone, kBasic, kDigest };

// The scheme the camera asked for in its last challenge, its parameters
// and the Digest counter. Nothing is sent before a camera asks.
struct RtspAuth {
  RtspScheme scheme = RtspScheme::kNone;
  std::string realm;
  std::string nonce;
  std::string qop;
  std::string opaque;
  std::string algorithm;
  uint32_t nonceCount = 0;
};

// Remembers the challenge of a 401's header block (every WWW-Authenticate
// line; several challenges may share one): Digest with its parameters when
// the camera offers it, else Basic with its realm. False, and nothing
// remembered, when it offers neither.
bool readChallenge(std::string_view headers, RtspAuth* auth);

// The Authorization value for `method` on `uri` in the scheme the camera
// asked for; "" without credentials or before any challenge. Digest with a
// qop counts `nonceCount` up.
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
