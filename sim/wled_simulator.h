#pragma once

#include "controller/wled_device.h"
#include "platform/socket.h"

#include "sim/http_server.h"
#include "sim/led_source.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// A WLED controller for the rig, answering as the firmware does: its JSON
// API (GET /json/info, /json/cfg, /json/state; POST /json/state merges on
// and bri), files served from its flash (GET /ledmap.json) and uploaded
// through POST /upload (multipart), and its realtime input: DDP on port
// 4048, moved on by its DMX start address and LED offset, scaled by its
// master brightness unless it forces full brightness, and let go after its
// timeout, when the LEDs show the controller's own effect again (a solid
// colour at its brightness, or dark when it is off).
//
// Threads: the HTTP server's and one DDP thread; everything else from any
// thread.

namespace pxo::sim {

struct WledSimOutput {
  WledOutput output;  // start and length in the controller's strip
  int32_t port = 0;   // the port number allPortLeds reports it under
};

struct WledSimConfig {
  std::string name = "WLED-Sim";
  std::string version = "0.14.4";
  std::vector<WledSimOutput> outputs;
  bool on = true;
  int32_t brightness = 128;
  bool forceMaxBrightness = false;
  bool realtimeEnabled = true;
  int32_t dmxStartAddress = 1;
  int32_t ledOffset = 0;
  int32_t timeoutTenths = 25;  // realtime ends this long after its data
  LedColor effect{255, 160, 0, 0};
  std::map<std::string, std::string> files;  // "/ledmap.json" → contents
};

class WledSimulator final : public LedSource {
 public:
  explicit WledSimulator(WledSimConfig config);
  ~WledSimulator() override;
  WledSimulator(const WledSimulator&) = delete;
  WledSimulator& operator=(const WledSimulator&) = delete;

  // Binds a loopback address of its own: DDP on 4048, HTTP on a free port.
  [[nodiscard]] bool start(std::string* error);
  void stop();
  // As a user would type it: "127.x.y.z:port".
  std::string httpAddress() const;

  std::map<int32_t, std::vector<LedColor>> allPortLeds() const override;

  bool on() const;
  int32_t brightness() const;
  // Requests that would have changed the configuration (and rebooted it).
  int32_t configurationWrites() const { return configWrites_.load(); }
  std::optional<std::string> file(const std::string& name) const;
  int64_t ddpPackets() const { return ddpPackets_.load(); }

 private:
  HttpReply handle(const HttpRequest& request);
  HttpReply upload(const HttpRequest& request);
  void ddpLoop();
  int32_t stripLength() const;

  WledSimConfig config_;
  std::string address_;
  HttpServer http_;
  platform::UdpSocket ddp_;
  std::thread ddpThread_;
  std::atomic<bool> running_{false};
  std::atomic<int32_t> configWrites_{0};
  std::atomic<int64_t> ddpPackets_{0};
  mutable std::mutex mutex_;
  std::vector<LedColor> realtime_;  // per strip LED
  std::chrono::steady_clock::time_point lastRealtime_{};
};

}  // namespace pxo::sim
