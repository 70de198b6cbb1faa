#include "sim/network_camera.h"

#include "capture/rtsp/rtsp_text.h"
#include "codec/base64.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace pxo::sim {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t kSsrc = 0x50584f31;
constexpr size_t kMaxRequestBytes = size_t{64} * 1024;

// NAL units of an Annex B access unit, start codes removed.
std::vector<std::string_view> splitAnnexB(std::string_view stream) {
  std::vector<std::string_view> units;
  size_t at = 0;
  auto nextStart = [&](size_t from, size_t* codeLength) {
    for (size_t i = from; i + 3 <= stream.size(); ++i) {
      if (stream[i] != 0 || stream[i + 1] != 0) continue;
      if (stream[i + 2] == 1) {
        *codeLength = 3;
        return i;
      }
      if (i + 4 <= stream.size() && stream[i + 2] == 0 && stream[i + 3] == 1) {
        *codeLength = 4;
        return i;
      }
    }
    *codeLength = 0;
    return stream.size();
  };
  size_t code = 0;
  at = nextStart(0, &code);
  while (at < stream.size()) {
    const size_t begin = at + code;
    at = nextStart(begin, &code);
    if (at > begin) units.push_back(stream.substr(begin, at - begin));
  }
  return units;
}

std::string sdpFor(const std::string& url) {
  return "v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=Pixoria virtual camera\r\n"
         "c=IN IP4 127.0.0.1\r\nt=0 0\r\na=control:*\r\n"
         "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
         "a=fmtp:96 packetization-mode=1\r\na=control:" +
         url + "/track1\r\n";
}

}  // namespace

NetworkCamera::NetworkCamera(pxowin::ICaptureSource& source,
                             NetworkCameraConfig config)
    : source_(source), config_(std::move(config)) {}

NetworkCamera::~NetworkCamera() { stop(); }

bool NetworkCamera::start(std::string* error) {
  stop();
  platform::SocketAddress local;
  if (!platform::makeIPv4Address("127.0.0.1", 0, &local)) return false;
  listener_ = platform::TcpListener::listen(local, 4, error);
  if (!listener_.valid()) return false;
  url_ = "rtsp://127.0.0.1:" + std::to_string(listener_.localAddress().port()) +
         "/live";
  source_.setFrameCallback(
      [this](const pxowin::BgraFrame& frame) { onFrame(frame); });
  if (!source_.start("", error)) {
    source_.setFrameCallback(nullptr);
    listener_.close();
    return false;
  }
  stopSending_ = false;
  running_ = true;
  encoder_ = std::thread([this] { encodeLoop(); });
  server_ = std::thread([this] { serveLoop(); });
  return true;
}

void NetworkCamera::stop() {
  if (!running_.exchange(false)) return;
  wake_.notify_all();
  source_.setFrameCallback(nullptr);
  source_.stop();
  if (encoder_.joinable()) encoder_.join();
  if (server_.joinable()) server_.join();
  listener_.close();
  std::lock_guard lock(mutex_);
  pending_.reset();
  queue_.clear();
}

void NetworkCamera::onFrame(const pxowin::BgraFrame& frame) {
  {
    std::lock_guard lock(mutex_);
    // The encoder takes the newest frame; one it has not reached is lost,
    // as a busy camera loses it.
    pending_ = std::make_unique<pxowin::BgraFrame>(frame);
  }
  wake_.notify_all();
}

void NetworkCamera::encodeLoop() {
  auto encoder = pxowin::createH264StreamEncoder();
  bool open = false;
  std::string annexB;
  // Capture times of the frames given to the encoder and not yet out (it
  // holds some back with B-frames), by their number.
  std::deque<std::pair<int64_t, double>> given;
  int64_t nextFrame = 0;
  // Frames given to the encoders before this one (its frame numbers start
  // at 0), and whether the first group's own encoder is the one running.
  int64_t frameBase = 0;
  bool firstGroup = config_.firstGroupBFrames >= 0 &&
                    config_.firstGroupBFrames != config_.bFrames;
  while (running_) {
    std::unique_ptr<pxowin::BgraFrame> frame;
    {
      std::unique_lock lock(mutex_);
      wake_.wait_for(lock, 100ms, [&] { return pending_ || !running_; });
      frame = std::move(pending_);
    }
    if (!frame) continue;
    if (firstGroup && open &&
        nextFrame - frameBase >= std::max(config_.keyFrameInterval, 1)) {
      // The frames the first encoder still holds are lost, as a camera
      // that restarts its encoder loses them.
      encoder = pxowin::createH264StreamEncoder();
      open = false;
      firstGroup = false;
      frameBase = nextFrame;
    }
    if (!open) {
      open = encoder->open(
          frame->width,
          frame->height,
          30,
          config_.keyFrameInterval,
          firstGroup ? config_.firstGroupBFrames : config_.bFrames,
          nullptr);
      if (!open) return;
    }
    given.emplace_back(nextFrame++, frame->timestamp);
    while (given.size() > 64) given.pop_front();
    bool key = false;
    int64_t shown = -1;
    if (!encoder->encode(
            *frame, wantKeyFrame_.exchange(false), &annexB, &key, &shown))
      continue;
    shown += frameBase;
    const auto match =
        std::find_if(given.begin(), given.end(), [&](const auto& g) {
          return g.first == shown;
        });
    if (match == given.end()) continue;
    const double captureTime = match->second;
    given.erase(match);
    Queued unit;
    unit.annexB = std::move(annexB);
    unit.captureTime = captureTime;
    unit.rtpTimestamp = config_.firstRtpTimestamp +
                        static_cast<uint32_t>(
                            std::llround(std::max(captureTime, 0.0) * 90000.0));
    unit.due = Clock::now() + std::chrono::microseconds(static_cast<int64_t>(
                                  config_.latencyMs * 1000));
    std::lock_guard lock(mutex_);
    if (!playing_) continue;
    queue_.push_back(std::move(unit));
    // A client that stopped reading does not make the queue grow forever.
    while (queue_.size() > 600) queue_.pop_front();
  }
}

void NetworkCamera::serveLoop() {
  while (running_) {
    platform::TcpStream client = listener_.accept(Clock::now() + 200ms);
    if (!client.valid()) continue;
    serveClient(client);
    bool played = false;
    {
      std::lock_guard lock(mutex_);
      played = playing_;
      playing_ = false;
      queue_.clear();
    }
    if (played && config_.clientGone) config_.clientGone();
  }
}

void NetworkCamera::serveClient(platform::TcpStream& client) {
  std::string buffer;
  std::string session;
  auto reply = [&](const std::string& text) {
    return client.sendAll(text.data(), text.size(), Clock::now() + 2s);
  };
  while (running_) {
    // Requests first; then the access units that are due.
    const size_t end = buffer.find("\r\n\r\n");
    if (end != std::string::npos) {
      const std::string head = buffer.substr(0, end + 4);
      buffer.erase(0, end + 4);
      const std::string method = head.substr(0, head.find(' '));
      const std::string cseq = findHeaderValue(head, "CSeq");
      std::string answer = "RTSP/1.0 200 OK\r\nCSeq: " + cseq + "\r\n";
      const bool needsAuth = !config_.password.empty() && method != "OPTIONS" &&
                             method != "GET_PARAMETER";
      const std::string expected =
          "Basic " + base64Encode(config_.user + ":" + config_.password);
      if (needsAuth && findHeaderValue(head, "Authorization") != expected) {
        if (!reply("RTSP/1.0 401 Unauthorized\r\nCSeq: " + cseq +
                   "\r\nWWW-Authenticate: Basic realm=\"camera\"\r\n\r\n"))
          return;
        continue;
      }
      if (method == "OPTIONS") {
        answer +=
            "Public: OPTIONS, DESCRIBE, SETUP, PLAY, GET_PARAMETER, "
            "TEARDOWN\r\n\r\n";
      } else if (method == "DESCRIBE") {
        const std::string sdp = sdpFor(url_);
        answer += "Content-Base: " + url_ +
                  "/\r\nContent-Type: application/sdp\r\nContent-Length: " +
                  std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
      } else if (method == "SETUP") {
        if (findHeaderValue(head, "Transport").find("interleaved") ==
            std::string::npos) {
          answer = "RTSP/1.0 461 Unsupported Transport\r\nCSeq: " + cseq +
                   "\r\n\r\n";
        } else {
          session = "5e55104";
          answer += "Session: " + session +
                    ";timeout=60\r\nTransport: "
                    "RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n";
        }
      } else if (method == "PLAY") {
        answer += "Session: " + session + "\r\n\r\n";
        wantKeyFrame_ = true;
        clientStarted_ = false;
        std::lock_guard lock(mutex_);
        playing_ = true;
        queue_.clear();
      } else if (method == "TEARDOWN") {
        (void)reply(answer + "\r\n");
        return;
      } else {
        answer += "\r\n";
      }
      if (!reply(answer)) return;
      continue;
    }
    if (buffer.size() > kMaxRequestBytes) return;

    if (stopSending_) {
      if (stopHow_ == Stop::kCloseConnection) return;
      std::lock_guard lock(mutex_);
      queue_.clear();
    }
    std::deque<Queued> due;
    {
      std::lock_guard lock(mutex_);
      while (!queue_.empty() && queue_.front().due <= Clock::now()) {
        due.push_back(std::move(queue_.front()));
        queue_.pop_front();
      }
    }
    for (const Queued& unit : due)
      if (!sendAccessUnit(client, unit)) return;

    char chunk[4096];
    const long got = client.receive(chunk, sizeof chunk, Clock::now() + 5ms);
    if (got == platform::kSocketClosed || got == platform::kSocketFailed)
      return;
    if (got > 0) buffer.append(chunk, static_cast<size_t>(got));
  }
}

std::vector<std::string> h264RtpPackets(std::string_view annexB,
                                        uint32_t rtpTimestamp,
                                        size_t maxPacketBytes,
                                        uint16_t* sequence) {
  const std::vector<std::string_view> nals = splitAnnexB(annexB);
  std::vector<std::string> packets;
  auto packet = [&](std::string_view payload, bool marker) {
    std::string out;
    out += char(0x80);
    out += char((marker ? 0x80 : 0) | 96);
    out += char(*sequence >> 8);
    out += char(*sequence & 0xff);
    ++*sequence;
    for (int shift = 24; shift >= 0; shift -= 8)
      out += char((rtpTimestamp >> shift) & 0xff);
    for (int shift = 24; shift >= 0; shift -= 8)
      out += char((kSsrc >> shift) & 0xff);
    out.append(payload);
    packets.push_back(std::move(out));
  };
  const size_t limit = std::max<size_t>(maxPacketBytes, 16);
  for (size_t n = 0; n < nals.size(); ++n) {
    const std::string_view nal = nals[n];
    const bool last = n + 1 == nals.size();
    if (nal.size() <= limit) {
      packet(nal, last);
      continue;
    }
    // FU-A: the NAL header's F and NRI bits in the indicator, its type in
    // the fragment header.
    const auto header = uint8_t(nal[0]);
    size_t at = 1;
    while (at < nal.size()) {
      const size_t take = std::min(limit - 2, nal.size() - at);
      const bool first = at == 1, final = at + take == nal.size();
      std::string fragment;
      fragment += char((header & 0xe0) | 28);
      fragment +=
          char((first ? 0x80 : 0) | (final ? 0x40 : 0) | (header & 0x1f));
      fragment.append(nal.substr(at, take));
      packet(fragment, last && final);
      at += take;
    }
  }
  return packets;
}

bool NetworkCamera::sendAccessUnit(platform::TcpStream& client,
                                   const Queued& unit) {
  std::string out;
  for (const std::string& packet : h264RtpPackets(unit.annexB,
                                                  unit.rtpTimestamp,
                                                  config_.maxPacketBytes,
                                                  &sequence_)) {
    out += '$';
    out += char(0);  // channel 0: RTP
    out += char(packet.size() >> 8);
    out += char(packet.size() & 0xff);
    out += packet;
  }
  if (!client.sendAll(out.data(), out.size(), Clock::now() + 2s)) return false;
  if (!clientStarted_) {
    clientStarted_ = true;
    clientStart_ = unit.captureTime;
  }
  ++sent_;
  return true;
}

}  // namespace pxo::sim
