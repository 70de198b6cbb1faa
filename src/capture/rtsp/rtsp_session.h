#pragma once

#include "capture/rtsp/h264_depacketizer.h"
#include "capture/rtsp/rtsp_text.h"
#include "platform/socket.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// The RTSP/1.0 client of a network camera: OPTIONS, DESCRIBE, SETUP and
// PLAY with Basic or Digest authentication over one TCP connection, RTP
// interleaved on that connection (channels 0 and 1, never UDP), a reader
// loop that hands the video payloads to the H.264 depacketiser and keeps
// the session alive with GET_PARAMETER, and TEARDOWN at the end.
//
// Every wait is bounded: a reply must come within kRtspNoDataSeconds of
// silence and within kRtspReplySeconds in all, and no reply may exceed
// kMaxRtspReplyBytes, so a camera that never answers or floods the socket
// cannot hang or exhaust the caller.
//
// Threads: open and close on the caller's thread; runRtspReader on the
// capture thread; requestStop from any thread. The reader must have
// returned before closeRtspSession.
//
// With the environment variable PXO_RTSP_DEBUG set, every request and the
// stream's first frames are traced on stderr.

namespace pxo {

inline constexpr int32_t kRtspNoDataSeconds = 11;
inline constexpr int32_t kRtspReplySeconds = 30;

// How long a silent or trickling camera is waited for.
struct RtspTimeouts {
  std::chrono::milliseconds noData{kRtspNoDataSeconds * 1000};
  std::chrono::milliseconds reply{kRtspReplySeconds * 1000};
};

struct RtspStreamInfo {
  RtspCodec codec = RtspCodec::kNone;
  int32_t payloadType = 96;
  int32_t clockRate = 90000;
};

// How runRtspReader ended.
enum class RtspEnd : int32_t {
  kStopRequested = 0,
  kNoSession = 1,
  kClosedByCamera = 2,
  kSocketError = 3,
  kNoData = 4,  // more than 10 seconds without a byte
};

struct RtspSession {
  platform::TcpStream socket;
  RtspUrl url;
  std::string user;
  std::string password;
  std::string receiveBuffer;
  int32_t nextCSeq = 1;
  std::string sessionId;
  std::string contentBase;
  std::string playUrl;
  std::string setupUrl;
  int32_t rtpChannel = 0;
  int32_t timeoutSeconds = 60;
  std::atomic<bool> stopRequested{false};
  H264Depacketizer depacketizer;
  RtspCodec codec = RtspCodec::kNone;
  int32_t payloadType = 96;
  int32_t clockRate = 90000;
  RtspAuth auth;
  RtspTimeouts timeouts;
  bool debug = false;
};

// Connects and starts playing. `user` and `password` (either may be
// empty) override the URL's own credentials one by one. Nothing and a
// message ("invalid rtsp url", "DESCRIBE: authentication failed", …) on
// failure.
std::unique_ptr<RtspSession> openRtspSession(std::string_view url,
                                             std::string_view user,
                                             std::string_view password,
                                             RtspStreamInfo* info,
                                             std::string* error,
                                             const RtspTimeouts& timeouts = {});

// Receives until stopped, the camera closes, the socket fails or the
// stream goes silent; video payloads go to session->depacketizer.
RtspEnd runRtspReader(RtspSession* session);

// Ends runRtspReader within a second. Any thread; nothing on null.
void requestStop(RtspSession* session);

// Sends TEARDOWN (without waiting for the answer) and closes.
void closeRtspSession(std::unique_ptr<RtspSession> session);

// One request and its reply, with the single authenticated retry after a
// 401. `extraHeaders` are complete lines ending in CR LF.
RtspResponse sendRtspRequest(RtspSession* session,
                             std::string_view method,
                             std::string_view url,
                             std::string_view extraHeaders);

}  // namespace pxo
