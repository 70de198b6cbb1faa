// The RTSP client and the network-camera source against GStreamer's RTSP
// server on loopback, and against servers of our own that misbehave.

#include "capture/rtsp/rtsp_session.h"

#include "capture/rtsp/rtsp_capture.h"
#include "platform/socket.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "peers/gst_rtsp_peer.h"
#include <gtest/gtest.h>

namespace pxo {
namespace {

using namespace std::chrono_literals;
using test::GstRtspPeer;

std::string withCredentials(const std::string& url, const std::string& auth) {
  return "rtsp://" + auth + "@" + url.substr(7);
}

// Counts access units, key frames and the SPS size while the reader runs.
struct StreamWatch {
  std::atomic<int> units{0};
  std::atomic<int> keys{0};
  std::atomic<bool> keyHadParameterSets{false};
  std::atomic<int32_t> width{0}, height{0};

  void attach(RtspSession* session) {
    session->depacketizer.setCallbacks(
        [this](std::span<const std::string_view> nals, uint32_t, bool key) {
          ++units;
          if (!key) return;
          ++keys;
          bool sps = false, pps = false;
          for (std::string_view nal : nals) {
            sps = sps || (nal[0] & 0x1f) == 7;
            pps = pps || (nal[0] & 0x1f) == 8;
          }
          if (sps && pps) keyHadParameterSets = true;
        },
        nullptr);
    // The server gives the parameter sets in the SDP too.
    int32_t w = 0, h = 0;
    if (readSpsSize(session->depacketizer.sps(), &w, &h)) {
      width = w;
      height = h;
    }
  }
};

TEST(RtspSessionWithGstreamer, OpensWithEachAuthenticationAndReceives) {
  struct Case {
    const char* auth;
    const char* credentials;  // in the URL
  };
  for (const Case& c : {Case{"none", ""},
                        Case{"basic", "admin:secret"},
                        Case{"digest", "admin:secret"}}) {
    SCOPED_TRACE(c.auth);
    GstRtspPeer peer({"--auth", c.auth});
    ASSERT_FALSE(peer.url().empty()) << "GStreamer's RTSP server did not start";
    const std::string url = *c.credentials
                                ? withCredentials(peer.url(), c.credentials)
                                : peer.url();
    RtspStreamInfo info;
    std::string error;
    auto session = openRtspSession(url, "", "", &info, &error);
    ASSERT_TRUE(session) << error;
    EXPECT_EQ(info.codec, RtspCodec::kH264);
    EXPECT_EQ(info.payloadType, 96);
    EXPECT_EQ(info.clockRate, 90000);
    EXPECT_FALSE(session->sessionId.empty());
    EXPECT_EQ(session->auth.scheme,
              std::string(c.auth) == "digest"  ? RtspScheme::kDigest
              : std::string(c.auth) == "basic" ? RtspScheme::kBasic
                                               : RtspScheme::kNone);

    StreamWatch watch;
    watch.attach(session.get());
    std::atomic<RtspEnd> end{RtspEnd::kNoSession};
    std::thread reader([&] { end = runRtspReader(session.get()); });
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (watch.units < 45 && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(20ms);
    const auto stopAt = std::chrono::steady_clock::now();
    requestStop(session.get());
    reader.join();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 1s);
    EXPECT_EQ(end, RtspEnd::kStopRequested);
    EXPECT_GE(watch.units, 45);
    EXPECT_GE(watch.keys, 1);
    EXPECT_TRUE(watch.keyHadParameterSets);
    EXPECT_EQ(watch.width, 640);
    EXPECT_EQ(watch.height, 360);
    closeRtspSession(std::move(session));
  }
}

TEST(RtspSessionWithGstreamer, CredentialsArgumentsAndFailures) {
  GstRtspPeer peer({"--auth", "digest"});
  ASSERT_FALSE(peer.url().empty());
  std::string error;
  // The arguments override the URL's own credentials one by one.
  auto session = openRtspSession(withCredentials(peer.url(), "admin:wrong"),
                                 "",
                                 "secret",
                                 nullptr,
                                 &error);
  EXPECT_TRUE(session) << error;
  closeRtspSession(std::move(session));

  EXPECT_FALSE(openRtspSession(peer.url(), "admin", "wrong", nullptr, &error));
  EXPECT_EQ(error, "DESCRIBE: authentication failed");
  EXPECT_FALSE(openRtspSession(peer.url(), "", "", nullptr, &error));
  EXPECT_EQ(error, "DESCRIBE: authentication failed");
  const std::string otherPath =
      peer.url().substr(0, peer.url().rfind('/')) + "/nothing";
  EXPECT_FALSE(openRtspSession(otherPath, "admin", "secret", nullptr, &error));
  EXPECT_EQ(error, "DESCRIBE failed: status 404 (Not Found)");
  EXPECT_FALSE(openRtspSession("http://cam/", "", "", nullptr, &error));
  EXPECT_EQ(error, "invalid rtsp url");
}

// A server of our own on loopback that accepts one connection and then
// does what the test says.
class MisbehavingServer {
 public:
  explicit MisbehavingServer(std::function<void(platform::TcpStream&)> act) {
    platform::SocketAddress local;
    EXPECT_TRUE(platform::makeIPv4Address("127.0.0.1", 0, &local));
    listener_ = platform::TcpListener::listen(local, 1);
    url_ =
        "rtsp://127.0.0.1:" + std::to_string(listener_.localAddress().port()) +
        "/cam";
    thread_ = std::thread([this, act = std::move(act)] {
      platform::TcpStream stream =
          listener_.accept(std::chrono::steady_clock::now() + 10s);
      if (stream.valid()) act(stream);
      std::unique_lock lock(mutex_);
      done_.wait_for(lock, 20s, [this] { return finished_; });
    });
  }
  ~MisbehavingServer() {
    {
      std::lock_guard lock(mutex_);
      finished_ = true;
    }
    done_.notify_all();
    thread_.join();
  }
  const std::string& url() const { return url_; }

 private:
  platform::TcpListener listener_;
  std::string url_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
};

TEST(RtspSessionBounds, SilentOrFloodingCameraFailsTheOpenInTime) {
  const RtspTimeouts quick{300ms, 1500ms};
  std::string error;
  {
    MisbehavingServer silent([](platform::TcpStream&) {});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(openRtspSession(silent.url(), "", "", nullptr, &error, quick));
    EXPECT_EQ(error, "DESCRIBE: no response");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  }
  {
    // An endless header block: cut at 1 MiB.
    MisbehavingServer flood([](platform::TcpStream& stream) {
      const std::string start = "RTSP/1.0 200 OK\r\nCSeq: 1\r\n";
      const std::string line = "X-Filler: " + std::string(1000, 'x') + "\r\n";
      auto until = std::chrono::steady_clock::now() + 5s;
      if (!stream.sendAll(start.data(), start.size(), until)) return;
      for (int i = 0; i < 3000; ++i)
        if (!stream.sendAll(line.data(), line.size(), until)) return;
    });
    EXPECT_FALSE(openRtspSession(flood.url(), "", "", nullptr, &error, quick));
    EXPECT_EQ(error,
              "DESCRIBE: no response (the camera's answer is not a valid "
              "RTSP reply)");
  }
  {
    // A trickle: one byte at a time, never a whole reply.
    MisbehavingServer trickle([](platform::TcpStream& stream) {
      for (int i = 0; i < 40; ++i) {
        if (!stream.sendAll("R", 1, std::chrono::steady_clock::now() + 1s))
          return;
        std::this_thread::sleep_for(100ms);
      }
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(
        openRtspSession(trickle.url(), "", "", nullptr, &error, quick));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
  }
}

// The next request off the connection into `request`; false when the
// camera's client went quiet for 5 s or hung up.
bool nextRequest(platform::TcpStream& stream,
                 std::string* buffer,
                 std::string* request) {
  while (buffer->find("\r\n\r\n") == std::string::npos) {
    char chunk[2048];
    const long got = stream.receive(
        chunk, sizeof chunk, std::chrono::steady_clock::now() + 5s);
    if (got <= 0) return false;
    buffer->append(chunk, size_t(got));
  }
  const size_t end = buffer->find("\r\n\r\n") + 4;
  *request = buffer->substr(0, end);
  buffer->erase(0, end);
  return true;
}

std::string methodOf(const std::string& request) {
  return request.substr(0, request.find(' '));
}

// A reply to `request`: the status line, `headers` (lines ending in CR LF)
// and, for DESCRIBE, a one-track H.264 SDP.
std::string answerTo(const std::string& request,
                     const std::string& status = "200 OK",
                     const std::string& headers = "") {
  std::string reply = "RTSP/1.0 " + status +
                      "\r\nCSeq: " + findHeaderValue(request, "CSeq") + "\r\n" +
                      headers;
  if (status.rfind("200", 0) != 0) return reply + "\r\n";
  const std::string method = methodOf(request);
  if (method == "DESCRIBE") {
    const std::string sdp =
        "v=0\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
        "a=control:track1\r\n";
    return reply + "Content-Base: rtsp://127.0.0.1/cam/\r\nContent-Length: " +
           std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
  }
  if (method == "SETUP" || method == "PLAY")
    reply += "Session: abc;timeout=30\r\n";
  return reply + "\r\n";
}

// Answers OPTIONS, DESCRIBE, SETUP and PLAY like a camera, then `after`.
void playLikeACamera(platform::TcpStream& stream,
                     const std::function<void(platform::TcpStream&)>& after) {
  std::string buffer, request;
  for (int count = 0; count < 4; ++count) {
    if (!nextRequest(stream, &buffer, &request)) return;
    const std::string reply = answerTo(request);
    if (!stream.sendAll(
            reply.data(), reply.size(), std::chrono::steady_clock::now() + 5s))
      return;
  }
  after(stream);
}

TEST(RtspSessionBounds, ReaderEndsWhenTheCameraClosesOrFallsSilent) {
  const RtspTimeouts quick{500ms, 2s};
  std::string error;
  {
    MisbehavingServer closing([](platform::TcpStream& stream) {
      playLikeACamera(stream, [](platform::TcpStream& s) { s.close(); });
    });
    auto session =
        openRtspSession(closing.url(), "", "", nullptr, &error, quick);
    ASSERT_TRUE(session) << error;
    EXPECT_EQ(session->sessionId, "abc");
    EXPECT_EQ(session->timeoutSeconds, 30);
    EXPECT_EQ(session->playUrl, "rtsp://127.0.0.1/cam/track1");
    EXPECT_EQ(runRtspReader(session.get()), RtspEnd::kClosedByCamera);
    closeRtspSession(std::move(session));
  }
  {
    MisbehavingServer silent([](platform::TcpStream& stream) {
      playLikeACamera(stream, [](platform::TcpStream&) {});
    });
    auto session =
        openRtspSession(silent.url(), "", "", nullptr, &error, quick);
    ASSERT_TRUE(session) << error;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runRtspReader(session.get()), RtspEnd::kNoData);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    closeRtspSession(std::move(session));
  }
  EXPECT_EQ(runRtspReader(nullptr), RtspEnd::kNoSession);
}

// A camera of our own: answers each request as `answer` says (an empty
// answer closes the connection) and keeps every request it was sent.
class ScriptedCamera {
 public:
  using Answer = std::function<std::string(const std::string& request)>;
  explicit ScriptedCamera(Answer answer)
      : server_([this, answer = std::move(answer)](platform::TcpStream& s) {
          serve(s, answer);
        }) {}
  const std::string& url() const { return server_.url(); }
  std::vector<std::string> requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  void serve(platform::TcpStream& stream, const Answer& answer) {
    std::string buffer, request;
    for (int count = 0; count < 20; ++count) {
      if (!nextRequest(stream, &buffer, &request)) return;
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
      }
      const std::string reply = answer(request);
      if (reply.empty()) {
        stream.close();
        return;
      }
      if (!stream.sendAll(reply.data(),
                          reply.size(),
                          std::chrono::steady_clock::now() + 5s))
        return;
    }
  }

  std::mutex mutex_;
  std::vector<std::string> requests_;
  MisbehavingServer server_;  // last: its thread uses the members above
};

// Credentials go out only in answer to a challenge, in the scheme the
// camera named: a camera that never asks never sees them, a Digest camera
// never sees Basic (the password readable by anyone on the way), and
// Digest wins when a camera offers both.
TEST(RtspSessionAuthorization, CredentialsOnlyAfterAChallenge) {
  struct Case {
    const char* name;
    const char* challenge;  // WWW-Authenticate lines; none: no password
    const char* scheme;     // what must answer it
  };
  for (const Case& c :
       {Case{"digest only",
             "WWW-Authenticate: Digest realm=\"cam\", nonce=\"n0\"\r\n",
             "Digest "},
        Case{"both offered",
             "WWW-Authenticate: Basic realm=\"cam\"\r\nWWW-Authenticate: "
             "Digest realm=\"cam\", nonce=\"n0\", qop=\"auth\"\r\n",
             "Digest "},
        Case{"basic only",
             "WWW-Authenticate: Basic realm=\"cam\"\r\n",
             "Basic "},
        Case{"no password", "", ""}}) {
    SCOPED_TRACE(c.name);
    const std::string challenge = c.challenge;
    ScriptedCamera camera([&](const std::string& request) {
      const std::string authorization =
          findHeaderValue(request, "Authorization");
      if (!challenge.empty() && methodOf(request) != "OPTIONS" &&
          authorization.rfind(c.scheme, 0) != 0)
        return answerTo(request, "401 Unauthorized", challenge);
      return answerTo(request);
    });
    std::string error;
    auto session = openRtspSession(
        camera.url(), "admin", "secret", nullptr, &error, {2s, 5s});
    ASSERT_TRUE(session) << error;
    closeRtspSession(std::move(session));
    const std::vector<std::string> requests = camera.requests();
    ASSERT_GE(requests.size(), 4u);
    EXPECT_EQ(methodOf(requests[0]), "OPTIONS");
    EXPECT_EQ(findHeaderValue(requests[0], "Authorization"), "");
    EXPECT_EQ(findHeaderValue(requests[1], "Authorization"), "");
    int answered = 0;
    for (const std::string& request : requests) {
      const std::string authorization =
          findHeaderValue(request, "Authorization");
      if (authorization.empty()) continue;
      ++answered;
      EXPECT_EQ(authorization.rfind(c.scheme, 0), 0u) << request;
    }
    if (challenge.empty())
      EXPECT_EQ(answered, 0);
    else
      EXPECT_GE(answered, 3);  // DESCRIBE, SETUP, PLAY (and TEARDOWN)
  }
}

// A camera that asks in a scheme this client does not know: the request
// fails as unauthorised, and no credentials went out.
TEST(RtspSessionAuthorization, UnknownSchemeSendsNothing) {
  ScriptedCamera camera([](const std::string& request) {
    if (methodOf(request) == "OPTIONS") return answerTo(request);
    return answerTo(request,
                    "401 Unauthorized",
                    "WWW-Authenticate: Bearer realm=\"cam\"\r\n");
  });
  std::string error;
  EXPECT_FALSE(openRtspSession(
      camera.url(), "admin", "secret", nullptr, &error, {2s, 5s}));
  EXPECT_EQ(error, "DESCRIBE: authentication failed");
  for (const std::string& request : camera.requests())
    EXPECT_EQ(findHeaderValue(request, "Authorization"), "") << request;
}

// SETUP and PLAY answers other than 200, and a camera that hangs up, each
// say what happened in the style of DESCRIBE's messages.
TEST(RtspSessionFailures, SetupAndPlaySayWhy) {
  struct Case {
    const char* method;
    const char* status;  // "" closes the connection
    const char* message;
  };
  for (const Case& c :
       {Case{"SETUP",
             "",
             "SETUP: no response (the camera closed the connection)"},
        Case{"SETUP",
             "461 Unsupported Transport",
             "SETUP failed: status 461 (Unsupported Transport): the camera "
             "does not offer RTP interleaved over the RTSP connection "
             "(RTP/AVP/TCP), the one transport this client uses; enable "
             "RTSP over TCP in the camera's settings"},
        Case{"SETUP", "404 Not Found", "SETUP failed: status 404 (Not Found)"},
        Case{
            "PLAY", "", "PLAY: no response (the camera closed the connection)"},
        Case{"PLAY",
             "454 Session Not Found",
             "PLAY failed: status 454 (Session Not Found)"}}) {
    SCOPED_TRACE(std::string(c.method) + " " + c.status);
    ScriptedCamera camera([&](const std::string& request) {
      if (methodOf(request) != c.method) return answerTo(request);
      return *c.status ? answerTo(request, c.status) : std::string();
    });
    std::string error;
    EXPECT_FALSE(
        openRtspSession(camera.url(), "", "", nullptr, &error, {2s, 5s}));
    EXPECT_EQ(error, c.message);
  }
}

}  // namespace
}  // namespace pxo

namespace pxowin {
namespace {

using namespace std::chrono_literals;

TEST(RtspCaptureWithGstreamer, LiveFramesRecordingMarksAndExtraction) {
  pxo::test::GstRtspPeer peer({"--auth", "digest"});
  ASSERT_FALSE(peer.url().empty());
  RTSPCapture camera(peer.url(), "admin", "secret");
  std::string error;
  ASSERT_TRUE(camera.start("", &error)) << error;

  std::mutex mutex;
  std::vector<BgraFrame> live;
  camera.setFrameCallback([&](const BgraFrame& frame) {
    std::lock_guard lock(mutex);
    if (live.size() < 5) live.push_back(frame);
  });
  ASSERT_TRUE(camera.waitForFrame(5.0));
  const auto [width, height] = camera.streamSize();
  EXPECT_EQ(width, 640);
  EXPECT_EQ(height, 360);
#ifdef PXO_UNDER_TSAN
  // Live decoding under ThreadSanitizer is slower than the stream on a busy
  // machine: the capture thread falls behind and the recording ends before
  // the frames at the last marks arrive. The recording is checked without
  // it, once a live frame has come.
  for (int waited = 0; waited < 100; ++waited) {
    {
      std::lock_guard lock(mutex);
      if (!live.empty()) break;
    }
    std::this_thread::sleep_for(50ms);
  }
  camera.setFrameCallback(nullptr);
#endif

  const auto folder = std::filesystem::temp_directory_path() /
                      ("pxo-rtsp-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const auto path = folder / "camera.mp4";
  ASSERT_TRUE(camera.lockCameraControls(0.5f));
  ASSERT_TRUE(camera.startRecording(path, &error)) << error;
  camera.addMark("before");  // no sample recorded yet: time 0
  ASSERT_TRUE(camera.waitForRecordedFrame(5.0));
  for (int i = 0; i < 4; ++i) {
    std::this_thread::sleep_for(500ms);
    camera.addMark("m" + std::to_string(i));
  }
  // Frames can come in bursts (live decoding under ThreadSanitizer holds
  // them back): the recording runs on long enough to hold a frame past
  // the last mark, as a scan's final dwell does.
  std::this_thread::sleep_for(1000ms);
  const auto recorded = camera.stopRecording();
  ASSERT_TRUE(recorded);
  EXPECT_EQ(*recorded, path);
  EXPECT_FALSE(camera.stopRecording());
  const auto marks = camera.takeMarks();
  camera.stop();
  EXPECT_TRUE(camera.takeMarks().empty());

  {
    std::lock_guard lock(mutex);
    ASSERT_FALSE(live.empty());
    for (const BgraFrame& frame : live) {
      EXPECT_EQ(frame.width, 640);
      EXPECT_EQ(frame.height, 360);
      EXPECT_EQ(frame.stride, 640 * 4);
    }
  }
  ASSERT_EQ(marks.size(), 5u);
  EXPECT_EQ(marks[0].time, 0);
  // Marks are dated from the latest frame's arrival; under ThreadSanitizer
  // live decoding makes arrivals irregular by a few frames.
#ifdef PXO_UNDER_TSAN
  constexpr double kMarkSpread = 0.45;
#else
  constexpr double kMarkSpread = 0.2;
#endif
  for (size_t i = 1; i < marks.size(); ++i) {
    EXPECT_GT(marks[i].time, marks[i - 1].time);
    EXPECT_NEAR(marks[i].time - marks[i - 1].time, 0.5, kMarkSpread);
  }
  for (const auto& mark : marks) {
    BgraFrame frame;
    ASSERT_TRUE(camera.extractFrame(mark.time, 1024, frame, &error))
        << mark.label << ": " << error;
    EXPECT_EQ(frame.width, 640);
    EXPECT_EQ(frame.height, 360);
    EXPECT_NEAR(frame.timestamp, mark.time, 0.1);
  }
  BgraFrame small;
  ASSERT_TRUE(camera.extractFrame(marks[2].time, 128, small, &error));
  EXPECT_EQ(small.width, 128);
  EXPECT_EQ(small.height, 72);
  EXPECT_FALSE(camera.extractFrame(60.0, 128, small, &error));
  EXPECT_EQ(error, "no frame at requested time");
  std::filesystem::remove_all(folder);
}

// Each frame time of a 30 fps recording (every `step`-th of the first
// `frames`) reads back a frame of its own, shown at that time.
void expectFramesAtTheirOwnTimes(RTSPCapture& camera, int frames, int step) {
  double last = -1;
  std::string error;
  for (int k = 0; k < frames; k += step) {
    BgraFrame frame;
    ASSERT_TRUE(camera.extractFrame(k / 30.0 + 0.005, 320, frame, &error))
        << "frame " << k << ": " << error;
    EXPECT_NEAR(frame.timestamp, k / 30.0, 0.002) << "frame " << k;
    EXPECT_GT(frame.timestamp, last) << "frame " << k;
    last = frame.timestamp;
  }
}

// A High-profile stream with three B-frames from GStreamer's server: the
// recording holds every access unit at its own presentation time, so
// frames read back one frame time apart are one frame apart.
TEST(RtspCaptureWithGstreamer, BFrameStreamRecordedWithItsOwnTimes) {
  pxo::test::GstRtspPeer peer({"--bframes", "3"});
  ASSERT_FALSE(peer.url().empty());
  RTSPCapture camera(peer.url(), "", "");
  std::string error;
  ASSERT_TRUE(camera.start("", &error)) << error;
  ASSERT_TRUE(camera.waitForFrame(5.0));
  const auto folder = std::filesystem::temp_directory_path() /
                      ("pxo-rtsp-b-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const auto path = folder / "camera.mp4";
  ASSERT_TRUE(camera.startRecording(path, &error)) << error;
  ASSERT_TRUE(camera.waitForRecordedFrame(5.0));
  std::this_thread::sleep_for(3s);
  ASSERT_TRUE(camera.stopRecording());
  EXPECT_EQ(camera.failure(), "");
  camera.stop();
  expectFramesAtTheirOwnTimes(camera, 60, 1);
  std::filesystem::remove_all(folder);
}

// x264's own B-frames (adaptive, up to three, in a pyramid) in a 720p
// stream, with the VUI that declares how deep they reorder and with the
// VUI taken out: recorded whole for longer than the first groups, where
// the pyramid gets deeper, every frame at its own time.
TEST(RtspCaptureWithGstreamer, APyramidStreamIsRecordedAsDeepAsItsSpsSays) {
  struct Case {
    std::vector<std::string> arguments;
    int32_t depth;
    std::string from;
  };
  const Case cases[] = {
      {{"--x264-defaults", "--width", "1280", "--height", "720"}, 2, "sps"},
      // Level 3.1 holds five 720p pictures.
      {{"--x264-defaults", "--strip-vui", "--width", "1280", "--height", "720"},
       5,
       "level"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.from);
    pxo::test::GstRtspPeer peer(c.arguments);
    ASSERT_FALSE(peer.url().empty());
    RTSPCapture camera(peer.url(), "", "");
    std::string error;
    ASSERT_TRUE(camera.start("", &error)) << error;
    ASSERT_TRUE(camera.waitForFrame(10.0));
    const auto folder =
        std::filesystem::temp_directory_path() /
        ("pxo-rtsp-pyramid-" + std::to_string(::getpid()) + "-" + c.from);
    std::filesystem::create_directories(folder);
    ASSERT_TRUE(camera.startRecording(folder / "camera.mp4", &error)) << error;
    ASSERT_TRUE(camera.waitForRecordedFrame(5.0));
    std::this_thread::sleep_for(10s);
    EXPECT_EQ(camera.failure(), "");
    ASSERT_TRUE(camera.stopRecording());
    const auto reorder = camera.streamReorder();
    ASSERT_TRUE(reorder);
    EXPECT_EQ(reorder->frames, c.depth);
    EXPECT_EQ(reorder->from, c.from);
    camera.stop();
    expectFramesAtTheirOwnTimes(camera, 280, 3);
    std::filesystem::remove_all(folder);
  }
}

// A server that stops in the middle of the stream, hanging up or falling
// silent: the source says so, naming the camera, within seconds.
TEST(RtspCaptureWithGstreamer, AServerThatStopsMidStream) {
  for (const char* how : {"close", "stall"}) {
    SCOPED_TRACE(how);
    pxo::test::GstRtspPeer peer({"--stop-after", "1.5", "--stop-how", how});
    ASSERT_FALSE(peer.url().empty());
    RTSPCapture camera(peer.url(), "", "");
    std::string error;
    ASSERT_TRUE(camera.start("", &error)) << error;
    ASSERT_TRUE(camera.waitForFrame(5.0));
    EXPECT_EQ(camera.failure(), "");
    const auto start = std::chrono::steady_clock::now();
    std::string failure;
    while (failure.empty() && std::chrono::steady_clock::now() - start < 10s) {
      std::this_thread::sleep_for(100ms);
      failure = camera.failure();
    }
    const auto port = peer.url().substr(17, peer.url().rfind('/') - 17);
    EXPECT_EQ(failure.rfind("the network camera at 127.0.0.1:" + port +
                                " stopped sending (",
                            0),
              0u)
        << failure;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);
    camera.stop();
    EXPECT_EQ(camera.failure(), "");  // a stopped source has not failed
  }
}

// Other clients take a password with percent-escapes in the URL.
TEST(RtspCaptureWithGstreamer, PercentEncodedPasswordInTheUrl) {
  pxo::test::GstRtspPeer peer({"--auth", "digest", "--password", "p@ss:1/x"});
  ASSERT_FALSE(peer.url().empty());
  RTSPCapture camera(
      "rtsp://admin:p%40ss%3A1%2Fx@" + peer.url().substr(7), "", "");
  std::string error;
  EXPECT_TRUE(camera.start("", &error)) << error;
  camera.stop();
}

TEST(RtspCaptureWithGstreamer, StartFailsWithTheSessionsMessage) {
  pxo::test::GstRtspPeer peer({"--auth", "basic"});
  ASSERT_FALSE(peer.url().empty());
  RTSPCapture camera(peer.url(), "admin", "nope");
  std::string error;
  EXPECT_FALSE(camera.start("", &error));
  EXPECT_EQ(error, "DESCRIBE: authentication failed");
  BgraFrame frame;
  EXPECT_FALSE(camera.extractFrame(0, 128, frame, &error));
  EXPECT_EQ(error, "no recording");
}

}  // namespace
}  // namespace pxowin
