#pragma once

#include "capture/capture_source.h"
#include "capture/media.h"
#include "platform/socket.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// A network camera on loopback: the frames of any capture source (the
// rig's virtual camera) encoded to H.264 as such a camera encodes them and
// served over RTSP/1.0 with RTP interleaved on the connection, after a
// network latency. One client at a time; a new one may come once the last
// has gone (a scan stops and starts its camera between views).
//
// What it serves: OPTIONS, DESCRIBE (an SDP with aggregate control and no
// parameter sets: they come in band before every key frame), SETUP with
// interleaved TCP only, PLAY (the next frame is a key frame), GET_PARAMETER
// and TEARDOWN; Basic authentication when a password is set. RTP carries
// single NAL units and FU-A fragments, the timestamps starting just short of
// 2^32 so that they wrap within the first seconds. stopSending() makes it
// a camera that stops in the middle of a stream: it closes the client's
// connection, or keeps it open and sends nothing more.
//
// Threads: the source's capture thread hands frames over; an encoder thread
// and a server thread do the rest. start and stop on the owner's thread.

namespace pxo::sim {

struct NetworkCameraConfig {
  double latencyMs = 500;  // from the frame's capture to its packets
  int32_t keyFrameInterval = 30;
  // B-frames between reference pictures: the units then go out in decode
  // order, their RTP times going back and forth.
  int32_t bFrames = 0;
  // B-frames in the first group of pictures when it has fewer than the
  // rest (an encoder that starts shallow, or one whose settings change):
  // after it the encoder starts again with `bFrames`, at a key frame with
  // parameter sets of its own. -1: as the rest.
  int32_t firstGroupBFrames = -1;
  uint32_t firstRtpTimestamp = 0xFFFFFFFFu - 2u * 90000u;  // wraps after 2 s
  size_t maxPacketBytes = 1400;
  std::string user;  // Basic authentication when `password` is set
  std::string password;
  // Called on the serving thread each time a client that played has gone:
  // a recording ended (a user carrying the camera to its next place then).
  std::function<void()> clientGone;
};

// One access unit (Annex B) as RTP packets (RFC 6184): single NAL units up
// to `maxPacketBytes`, FU-A fragments beyond, the marker on the last one.
// `sequence` counts on.
std::vector<std::string> h264RtpPackets(std::string_view annexB,
                                        uint32_t rtpTimestamp,
                                        size_t maxPacketBytes,
                                        uint16_t* sequence);

class NetworkCamera {
 public:
  // `source` must outlive this object; it is started and stopped here.
  NetworkCamera(pxowin::ICaptureSource& source, NetworkCameraConfig config);
  ~NetworkCamera();
  NetworkCamera(const NetworkCamera&) = delete;
  NetworkCamera& operator=(const NetworkCamera&) = delete;

  [[nodiscard]] bool start(std::string* error);
  void stop();
  // "rtsp://127.0.0.1:<port>/live" once started.
  const std::string& url() const { return url_; }
  int64_t accessUnitsSent() const { return sent_.load(); }
  enum class Stop { kCloseConnection, kFallSilent };
  // From any thread: the current client gets no more access units, and
  // with kCloseConnection its connection is closed. Until start() again.
  void stopSending(Stop how) {
    stopHow_ = how;
    stopSending_ = true;
  }
  // The source's own time of the first frame the current (or last) client
  // received: a client's stream time 0.
  double clientStreamStart() const { return clientStart_.load(); }

 private:
  struct Queued {
    std::string annexB;
    uint32_t rtpTimestamp = 0;
    double captureTime = 0;  // on the source's clock
    std::chrono::steady_clock::time_point due;
  };

  void onFrame(const pxowin::BgraFrame& frame);
  void encodeLoop();
  void serveLoop();
  void serveClient(platform::TcpStream& client);
  bool sendAccessUnit(platform::TcpStream& client, const Queued& unit);

  pxowin::ICaptureSource& source_;
  NetworkCameraConfig config_;
  platform::TcpListener listener_;
  std::string url_;
  std::atomic<bool> running_{false};
  std::atomic<bool> wantKeyFrame_{true};
  std::atomic<bool> stopSending_{false};
  std::atomic<Stop> stopHow_{Stop::kCloseConnection};
  std::atomic<int64_t> sent_{0};
  std::atomic<double> clientStart_{0};
  bool clientStarted_ = false;  // server thread
  uint16_t sequence_ = 0;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::unique_ptr<pxowin::BgraFrame> pending_;  // newest frame not encoded
  std::deque<Queued> queue_;                    // encoded, waiting to be due
  bool playing_ = false;                        // a client has sent PLAY

  std::thread encoder_;
  std::thread server_;
};

}  // namespace pxo::sim
