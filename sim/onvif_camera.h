#pragma once

#include "platform/socket.h"

#include "sim/http_server.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A network camera's ONVIF side on loopback: a device and media service
// (SOAP 1.2 over HTTP) answering GetCapabilities, GetProfiles and
// GetStreamUri with documents shaped like real cameras' (other prefixes
// than the client's, padded and entity-escaped text, attributes that carry
// the same names as elements), and a WS-Discovery responder.
//
// The responder joins the discovery multicast group: run it only inside a
// network namespace of its own (tests/capture/in_fresh_netns.sh), never on
// a machine's real network.
//
// Threads: the HTTP server's connection threads and the responder's thread;
// start and stop on the owner's thread.

namespace pxo::sim {

struct SimProfile {
  std::string name;
  std::string token;
  std::string encoding = "H264";  // "" gives a profile without an encoder
  int32_t width = 1920;
  int32_t height = 1080;
  int32_t frameRateLimit = 30;
  std::string streamUri;  // as the camera reports it (not escaped)
};

struct OnvifCameraConfig {
  std::string address = "127.0.0.1";  // where the SOAP services listen
  std::string user;                   // a WS-Security digest is required
  std::string password;               // when either is set
  std::vector<SimProfile> profiles;
  bool separateMediaService = true;  // GetCapabilities names its own path
  std::string getProfilesFault;      // answer GetProfiles with this fault
  bool streamUriFails = false;       // answer GetStreamUri with a fault
  // Discovery: scope values as sent (percent-encoded), "" leaves one out.
  std::string scopeName = "Sim%20Camera";
  std::string scopeHardware = "PX-100";
  bool answerTwice = false;  // every probe answered two times
  // A second address the reply also comes from, and the XAddrs list names
  // after the first ("" for none).
  std::string secondAddress;
};

class OnvifCamera {
 public:
  OnvifCamera() = default;
  ~OnvifCamera();
  OnvifCamera(const OnvifCamera&) = delete;
  OnvifCamera& operator=(const OnvifCamera&) = delete;

  // Serves the SOAP services; false with a message when it cannot listen.
  [[nodiscard]] bool start(OnvifCameraConfig config, std::string* error);
  // Answers WS-Discovery probes too (in a namespace of its own only).
  [[nodiscard]] bool startResponder(std::string* error);
  void stop();

  std::string deviceServiceUrl() const;
  // Requests seen: every one, those that carried a wsse:Security header,
  // and those refused for their credentials.
  int32_t requests() const { return requests_; }
  int32_t withSecurityHeader() const { return withSecurityHeader_; }
  int32_t refused() const { return refused_; }

 private:
  HttpReply answer(const HttpRequest& request);
  std::string probeMatches(const std::string& probe) const;

  OnvifCameraConfig config_;
  HttpServer server_;
  std::atomic<int32_t> requests_{0};
  std::atomic<int32_t> withSecurityHeader_{0};
  std::atomic<int32_t> refused_{0};
  std::unique_ptr<class WsDiscoveryResponder> responder_;
};

// Answers each WS-Discovery probe from this machine (a loopback address) on
// the multicast group with the datagrams `answer` returns, sent to the prober
// from every socket in `from` (addresses to send from; the first is the group
// listener itself when "").
class WsDiscoveryResponder {
 public:
  using Answer = std::function<std::vector<std::string>(const std::string&)>;

  WsDiscoveryResponder() = default;
  ~WsDiscoveryResponder();
  WsDiscoveryResponder(const WsDiscoveryResponder&) = delete;
  WsDiscoveryResponder& operator=(const WsDiscoveryResponder&) = delete;

  [[nodiscard]] bool start(Answer answer,
                           const std::vector<std::string>& from,
                           std::string* error);
  void stop();
  int32_t probes() const { return probes_; }

 private:
  void run();

  Answer answer_;
  platform::UdpSocket listener_;
  std::vector<platform::UdpSocket> senders_;  // empty slot: the listener
  std::atomic<bool> running_{false};
  std::atomic<int32_t> probes_{0};
  std::thread thread_;
};

}  // namespace pxo::sim
