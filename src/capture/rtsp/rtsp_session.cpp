#include "capture/rtsp/rtsp_session.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

namespace pxo {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

constexpr size_t kReceiveChunk = 8192;
// A receive inside the reader loop waits at most this long, so a stop
// request or a due keep-alive is seen within a quarter of a second.
constexpr auto kReceiveSlice = std::chrono::milliseconds(250);
constexpr auto kConnectPerAddress = std::chrono::milliseconds(5000);
constexpr auto kConnectTotal = std::chrono::milliseconds(10000);

void setError(std::string* error, std::string message) {
  if (error) *error = std::move(message);
}

std::string statusLine(std::string_view headers) {
  return std::string(headers.substr(0, headers.find('\r')));
}

bool sendText(RtspSession* session, const std::string& text) {
  return session->socket.sendAll(
      text.data(), text.size(), Clock::now() + session->timeouts.noData);
}

// One receive of up to 8 KiB into the buffer, waiting until `deadline`:
// the byte count or a socket result code.
long receiveSome(RtspSession* session, Clock::time_point deadline) {
  char chunk[kReceiveChunk];
  const long got = session->socket.receive(chunk, sizeof chunk, deadline);
  if (got > 0) session->receiveBuffer.append(chunk, static_cast<size_t>(got));
  return got;
}

// A reply off the connection: interleaved frames before it are dropped; no
// byte for the no-data time, more than the reply time in all, a closed or
// failed socket and an oversized or malformed reply all give `ok` false.
RtspResponse readRtspResponse(RtspSession* session) {
  RtspResponse reply;
  const auto giveUp = Clock::now() + session->timeouts.reply;
  for (;;) {
    auto noReply = [](RtspNoReply why) {
      RtspResponse failed;
      failed.noReply = why;
      return failed;
    };
    switch (takeRtspResponse(&session->receiveBuffer, &reply)) {
      case RtspTake::kTaken:
        return reply;
      case RtspTake::kBad:
        session->receiveBuffer.clear();
        return noReply(RtspNoReply::kMalformed);
      case RtspTake::kNeedMore:
        break;
    }
    const auto deadline =
        std::min(giveUp, Clock::now() + session->timeouts.noData);
    const long got = receiveSome(session, deadline);
    if (got == platform::kSocketClosed) return noReply(RtspNoReply::kClosed);
    if (got == platform::kSocketFailed) return noReply(RtspNoReply::kFailed);
    if (got <= 0) return noReply(RtspNoReply::kTimedOut);
  }
}

std::string requestHead(RtspSession* session,
                        std::string_view method,
                        std::string_view url) {
  std::string text;
  text.append(method).append(" ").append(url).append(" RTSP/1.0\r\n");
  text += "CSeq: " + std::to_string(session->nextCSeq++) + "\r\n";
  const std::string authorization = buildAuthorization(
      &session->auth, session->user, session->password, method, url);
  if (!authorization.empty())
    text += "Authorization: " + authorization + "\r\n";
  if (!session->sessionId.empty())
    text += "Session: " + session->sessionId + "\r\n";
  return text;
}

// Requests whose answer is not waited for: the keep-alive and TEARDOWN.
void sendWithoutReply(RtspSession* session, std::string_view method) {
  (void)sendText(session,
                 requestHead(session, method, session->playUrl) + "\r\n");
}

char printable(uint8_t byte) { return std::isprint(byte) ? char(byte) : '.'; }

}  // namespace

RtspResponse sendRtspRequest(RtspSession* session,
                             std::string_view method,
                             std::string_view url,
                             std::string_view extraHeaders) {
  for (bool retried = false;; retried = true) {
    std::string text = requestHead(session, method, url);
    text += "User-Agent: Pixoria-RTSP/1.0\r\n";
    text.append(extraHeaders).append("\r\n");
    RtspResponse reply;
    // A send fails when the camera has gone (reset or closed).
    reply.noReply = RtspNoReply::kClosed;
    if (sendText(session, text)) reply = readRtspResponse(session);
    if (session->debug)
      std::fprintf(stderr,
                   "[rtsp] %.*s %.*s -> ok=%d status=%d ('%s')\n",
                   int(method.size()),
                   method.data(),
                   int(url.size()),
                   url.data(),
                   int(reply.ok),
                   int(reply.status),
                   statusLine(reply.headers).c_str());
    // Credentials go out only in answer to a challenge, in the scheme the
    // camera asked for; a scheme this client does not know ends here.
    if (!reply.ok || reply.status != 401 || retried ||
        (session->user.empty() && session->password.empty()) ||
        !readChallenge(reply.headers, &session->auth))
      return reply;
  }
}

namespace {

// Resolves the camera and connects to the first address that answers.
bool connectToCamera(RtspSession* session, std::string* error) {
  std::vector<platform::ResolvedAddress> addresses;
  if (!platform::resolveAddress(session->url.host,
                                session->url.port,
                                platform::AddressFamily::kAny,
                                platform::SocketType::kStream,
                                &addresses)) {
    setError(error, "dns/getaddrinfo failed for " + session->url.host);
    return false;
  }
  const auto connectDeadline = Clock::now() + kConnectTotal;
  for (const auto& address : addresses) {
    session->socket = platform::TcpStream::connect(
        address, std::min(connectDeadline, Clock::now() + kConnectPerAddress));
    if (session->socket.valid() || Clock::now() >= connectDeadline) break;
  }
  if (!session->socket.valid()) {
    setError(error, "tcp connect failed");
    return false;
  }
  return true;
}

// The session's steps, each "" when it went through, else why not.

// OPTIONS, then DESCRIBE: the H.264 video the camera offers.
std::string describeStream(RtspSession* session) {
  const std::string& requestUrl = session->url.requestUrl;
  (void)sendRtspRequest(session, "OPTIONS", requestUrl, "");
  const RtspResponse describe = sendRtspRequest(
      session, "DESCRIBE", requestUrl, "Accept: application/sdp\r\n");
  if (!describe.ok || describe.status != 200)
    return rtspRequestFailure("DESCRIBE", describe);
  std::string headerBase = findHeaderValue(describe.headers, "Content-Base");
  if (headerBase.empty())
    headerBase = findHeaderValue(describe.headers, "Content-Location");
  const SdpVideo video = parseSdp(describe.body, headerBase, requestUrl);
  if (video.codec == RtspCodec::kH265)
    return "stream is H.265/HEVC (v1 supports H.264 only)";
  if (video.codec == RtspCodec::kNone)
    return "no usable H.264 video media in SDP";
  session->codec = video.codec;
  session->payloadType = video.payloadType;
  session->clockRate = video.clockRate;
  session->contentBase = video.contentBase;
  session->setupUrl = video.controlUrl;
  session->playUrl = video.playUrl;
  session->depacketizer.setParameterSets(video.sps, video.pps);
  return {};
}

// SETUP over the control connection (RTP interleaved).
std::string setupStream(RtspSession* session) {
  const RtspResponse setup = sendRtspRequest(
      session,
      "SETUP",
      session->setupUrl.empty() ? session->url.requestUrl : session->setupUrl,
      "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
  if (!setup.ok || setup.status != 200)
    return rtspRequestFailure("SETUP", setup);
  const RtspSessionHeader header =
      parseSessionHeader(findHeaderValue(setup.headers, "Session"));
  session->sessionId = header.id;
  session->timeoutSeconds = header.timeoutSeconds;
  const std::string transport = findHeaderValue(setup.headers, "Transport");
  const std::string interleaved = findParameter(transport, "interleaved");
  if (!interleaved.empty() && std::isdigit(uint8_t(interleaved[0])))
    session->rtpChannel = std::atoi(interleaved.c_str());
  if (session->debug)
    std::fprintf(stderr,
                 "[rtsp] SETUP ok: session='%s' timeout=%ld transport='%s' "
                 "rtpChannel=%d setupUri='%s'\n",
                 session->sessionId.c_str(),
                 long(session->timeoutSeconds),
                 transport.c_str(),
                 int(session->rtpChannel),
                 session->setupUrl.c_str());
  return {};
}

std::string playStream(RtspSession* session) {
  const RtspResponse play = sendRtspRequest(
      session, "PLAY", session->playUrl, "Range: npt=0.000-\r\n");
  if (session->debug)
    std::fprintf(stderr,
                 "[rtsp] PLAY '%s' -> status %d (rtpInfo='%s')\n",
                 session->playUrl.c_str(),
                 int(play.status),
                 findHeaderValue(play.headers, "RTP-Info").c_str());
  if (!play.ok || play.status != 200) return rtspRequestFailure("PLAY", play);
  return {};
}

}  // namespace

std::unique_ptr<RtspSession> openRtspSession(std::string_view url,
                                             std::string_view user,
                                             std::string_view password,
                                             RtspStreamInfo* info,
                                             std::string* error,
                                             const RtspTimeouts& timeouts) {
  auto session = std::make_unique<RtspSession>();
  session->timeouts = timeouts;
  // Nothing in the library changes the environment.
  // NOLINTNEXTLINE(concurrency-mt-unsafe)
  session->debug = std::getenv("PXO_RTSP_DEBUG") != nullptr;
  platform::startNetworking();
  session->url = parseRtspUrl(url);
  if (!session->url.valid) {
    setError(error, session->url.problem);
    return nullptr;
  }
  session->user = user.empty() ? session->url.user : std::string(user);
  session->password =
      password.empty() ? session->url.password : std::string(password);
  if (!connectToCamera(session.get(), error)) return nullptr;
  for (auto step : {describeStream, setupStream, playStream})
    if (std::string why = step(session.get()); !why.empty()) {
      setError(error, std::move(why));
      closeRtspSession(std::move(session));
      return nullptr;
    }
  if (info) *info = {session->codec, session->payloadType, session->clockRate};
  return session;
}

namespace {

// What the reader has seen of the stream so far.
struct ReaderProgress {
  Clock::time_point lastData = Clock::now();
  int64_t totalBytes = 0;
  int64_t frames = 0;
};

// Receives more into the session's buffer; an end code when the stream
// ended, nothing otherwise.
std::optional<RtspEnd> receiveMore(RtspSession* session,
                                   ReaderProgress* progress) {
  const std::string& buffer = session->receiveBuffer;
  const long got = receiveSome(session, Clock::now() + kReceiveSlice);
  if (got == platform::kSocketClosed) {
    if (session->debug)
      std::fprintf(stderr,
                   "[rtsp] EOF after %ld bytes / %ld frames\n",
                   long(progress->totalBytes),
                   long(progress->frames));
    return RtspEnd::kClosedByCamera;
  }
  if (got == platform::kSocketFailed) return RtspEnd::kSocketError;
  if (got == platform::kSocketTimedOut) {
    if (Clock::now() - progress->lastData >= session->timeouts.noData) {
      if (session->debug)
        std::fprintf(stderr,
                     "[rtsp] no-data timeout (%ld bytes total)\n",
                     long(progress->totalBytes));
      return RtspEnd::kNoData;
    }
    return std::nullopt;
  }
  if (progress->totalBytes == 0 && session->debug && buffer.size() >= 4)
    std::fprintf(stderr,
                 "[rtsp] first bytes: %02x %02x %02x %02x ('%c')\n",
                 uint8_t(buffer[0]),
                 uint8_t(buffer[1]),
                 uint8_t(buffer[2]),
                 uint8_t(buffer[3]),
                 printable(uint8_t(buffer[0])));
  progress->totalBytes += got;
  progress->lastData = Clock::now();
  return std::nullopt;
}

// What stands before the next interleaved frame: the keep-alive's answer,
// taken whole, or bytes that belong to nothing, dropped.
std::optional<RtspEnd> skipToInterleaved(RtspSession* session,
                                         ReaderProgress* progress) {
  std::string& buffer = session->receiveBuffer;
  if (buffer.compare(0, 5, "RTSP/") != 0) {
    const size_t dollar = buffer.find('$');
    buffer.erase(0, dollar == std::string::npos ? buffer.size() : dollar);
    return std::nullopt;
  }
  RtspResponse ignored;
  const RtspTake take = takeRtspResponse(&buffer, &ignored);
  if (take == RtspTake::kBad) buffer.clear();
  if (take == RtspTake::kNeedMore) return receiveMore(session, progress);
  return std::nullopt;
}

// Hands the RTP packet of one whole interleaved frame on to the
// depacketizer (frames of other channels are passed over).
void takeInterleavedFrame(RtspSession* session,
                          int32_t channel,
                          size_t length,
                          ReaderProgress* progress) {
  std::string& buffer = session->receiveBuffer;
  if (session->debug && progress->frames < 3)
    std::fprintf(stderr,
                 "[rtsp] interleaved frame: channel=%d len=%zu (want "
                 "rtpChannel=%d)\n",
                 int(channel),
                 length,
                 int(session->rtpChannel));
  ++progress->frames;
  RtpPacket packet;
  if (channel == session->rtpChannel &&
      parseRtpPacket(std::string_view(buffer).substr(4, length), &packet))
    session->depacketizer.addPacket(
        packet.payload, packet.timestamp, packet.marker);
  buffer.erase(0, 4 + length);
}

}  // namespace

RtspEnd runRtspReader(RtspSession* session) {
  if (!session || !session->socket.valid()) return RtspEnd::kNoSession;
  const auto keepAlive = seconds(keepAliveSeconds(session->timeoutSeconds));
  auto lastKeepAlive = Clock::now();
  ReaderProgress progress;
  const std::string& buffer = session->receiveBuffer;
  for (;;) {
    if (session->stopRequested) return RtspEnd::kStopRequested;
    if (Clock::now() - lastKeepAlive >= keepAlive) {
      sendWithoutReply(session, "GET_PARAMETER");
      lastKeepAlive = Clock::now();
    }
    if (buffer.size() < 4) {
      if (auto end = receiveMore(session, &progress)) return *end;
      continue;
    }
    if (buffer[0] != '$') {
      if (auto end = skipToInterleaved(session, &progress)) return *end;
      continue;
    }
    const int32_t channel = uint8_t(buffer[1]);
    const size_t length =
        (size_t(uint8_t(buffer[2])) << 8) | uint8_t(buffer[3]);
    if (buffer.size() < 4 + length) {
      if (auto end = receiveMore(session, &progress)) return *end;
      continue;
    }
    takeInterleavedFrame(session, channel, length, &progress);
  }
}

void requestStop(RtspSession* session) {
  if (session) session->stopRequested = true;
}

void closeRtspSession(std::unique_ptr<RtspSession> session) {
  if (!session) return;
  if (session->socket.valid() && !session->sessionId.empty())
    sendWithoutReply(session.get(), "TEARDOWN");
  session->socket.close();
}

}  // namespace pxo
