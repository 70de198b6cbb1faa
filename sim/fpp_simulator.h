#pragma once

#include "json/json.h"
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

// A simulated FPP pixel controller: its HTTP JSON API on a loopback address
// and its DDP input on UDP port 4048 of the same address, holding the
// pixel-string and universe-input configuration the way the real one does
// (stripslashes on posted documents, re-encoded answers with "status",
// HTML 404 pages, network data that expires) and turning the channel data
// it receives into LED colours through the configuration it holds, so a
// wrong reconfiguration lights the wrong LEDs.
//
// Threads: start/stop from one owner thread; every other call from any
// thread (the HTTP and DDP threads share the state under one mutex).
//
//   FppSimulator fpp(loadFppSimConfig(text));
//   fpp.start();
//   connectController(&link, fpp.httpAddress(), "", "", &error);
//   ... fpp.portLeds(0) ...

namespace pxo::sim {

struct FppSimConfig {
  JsonValue systemInfo;                // answered at /api/system/info
  JsonValue pixelStrings;              // the stored pixel-string document
  std::optional<JsonValue> universes;  // ci-universes.json, when it exists
  std::string password;  // Basic auth for "admin" and "fpp"; empty = none
  // Physical colour order of each port's LEDs; by default the order the
  // port is configured with.
  std::map<int32_t, std::string> stripOrders;
  // Further channel-output files ("co-universes", "co-other") answered at
  // /api/channel/output/<name>.
  std::map<std::string, JsonValue> otherOutputs;
  // Which pixel-string file the controller keeps ("co-pixelStrings" or
  // "co-bbbStrings"); empty: the one its platform uses.
  std::string pixelFile;
};

// Reads a simulator configuration (see sim/data/README.md for its keys).
[[nodiscard]] bool loadFppSimConfig(std::string_view text,
                                    FppSimConfig* out,
                                    std::string* error);

// The same from a file; a bare file name is looked up in sim/data/.
[[nodiscard]] bool loadFppSimConfigFile(const std::string& path,
                                        FppSimConfig* out,
                                        std::string* error);

enum class FppFault {
  kNone,
  kServerError,       // 500 with an HTML page
  kNotFppHtml,        // a web server that is not a controller
  kNotFppJson,        // JSON without "Platform"/"Version"
  kPixelStatusError,  // pixel-string answers {"status":"ERROR: ..."}
  kGarbage,           // bytes that are not HTTP
  kChunked,           // correct answers in chunked encoding
  kNeverAnswer,       // accept, read, never answer
  kCutShort,          // the body stops half-way
  kNotFound,          // a web server without the API: 404 HTML pages
};

struct LoggedRequest {
  std::string method;
  std::string path;
  std::string authorization;
  std::string contentType;
  std::string body;
};

class FppSimulator final : public LedSource {
 public:
  // Channels the controller's buffer holds.
  static constexpr size_t kChannelCount = 1 << 20;

  explicit FppSimulator(FppSimConfig config);
  ~FppSimulator() override;
  FppSimulator(const FppSimulator&) = delete;
  FppSimulator& operator=(const FppSimulator&) = delete;

  // Binds HTTP on `address`:`httpPort` and DDP on `address`:4048. An empty
  // address picks a free loopback address of this process's own.
  [[nodiscard]] bool start(std::string* error,
                           const std::string& address = "",
                           uint16_t httpPort = 0);
  void stop();

  const std::string& address() const { return address_; }
  // "127.x.y.z:port", as a user would type it.
  std::string httpAddress() const;

  // Faults apply to requests whose path begins with `pathPrefix` (all when
  // empty) until cleared with kNone.
  void setFault(FppFault fault, const std::string& pathPrefix = "");
  // Answers requests of `method` whose path begins with `pathPrefix` only
  // after `ms` milliseconds (a busy controller); 0 clears it.
  void setDelay(const std::string& method,
                const std::string& pathPrefix,
                int32_t ms);
  // Refuses requests of `method` whose path begins with `pathPrefix` from
  // the `from`-th such request on (1: every one) with 503 and changes
  // nothing: a controller rebooting or failing under its web server.
  // clearRefusals() ends every refusal.
  void setRefusal(const std::string& method,
                  const std::string& pathPrefix,
                  int32_t from);
  void clearRefusals();
  // What /api/system/status reports as "status_name" ("idle", "playing",
  // "testing", "updating"; "stopped" is fppd "Not Running"); empty: that
  // path is missing (404).
  void setStatusName(const std::string& name);
  // Replaces a stored file's text as it stands on the controller's disk
  // (nullopt: missing), as if written there by another program.
  void setPixelStringsFile(std::optional<std::string> text);
  void setUniverseFile(std::optional<std::string> text);
  // Prints each request line to standard output as it arrives.
  void setLogToStdout(bool on) { logToStdout_ = on; }
  // FPP before 9.0 (by its "Version"): fppd applies the stored files only
  // when it restarts (GET /api/system/fppd/restart).
  bool appliesFilesOnRestartOnly() const { return restartOnly_; }
  int32_t restartCount() const { return restarts_.load(); }

  std::vector<LoggedRequest> requests() const;
  void clearRequests();

  // The stored files as text (after stripslashes); nullopt when missing.
  std::optional<std::string> pixelStringsFile() const;
  std::optional<std::string> universeFile() const;
  bool universeInputEnabled() const;

  // The physical LEDs of a port in string order (null pixels included, dark)
  // as they show now.
  std::vector<LedColor> portLeds(int32_t portNumber) const;
  // Every port's LEDs at one moment.
  std::map<int32_t, std::vector<LedColor>> allPortLeds() const override;
  std::vector<int32_t> portNumbers() const;
  // The physical colour order of a port's strip ("RGB" when unknown).
  std::string stripOrder(int32_t portNumber) const;

  int64_t ddpPacketsApplied() const { return applied_.load(); }
  int64_t ddpPacketsIgnored() const { return ignored_.load(); }

 private:
  HttpReply handle(const HttpRequest& request);
  HttpReply route(const HttpRequest& request);
  // The parts of route, each with mutex_ held: a reply, or none when the
  // request is for no such page.
  HttpReply systemStatus();
  HttpReply restartFppd();
  std::optional<HttpReply> outputFile(const HttpRequest& request);
  std::optional<HttpReply> universeFile(const HttpRequest& request);
  bool authorized(const HttpRequest& request) const;
  HttpReply outputAnswer(const std::string& file) const;
  void ddpLoop();
  void applyPacket(const struct DdpPacket& packet);
  uint8_t channelValue(int64_t channel, int64_t nowMs, int64_t timeoutMs) const;
  int64_t nowMs() const;

  // The files fppd works from (after a restart on FPP 8); with the mutex.
  const std::optional<std::string>& activePixelStrings() const;
  const std::optional<std::string>& activeUniverses() const;
  bool restarting() const;  // with the mutex

  FppSimConfig config_;
  std::string pixelFileName_;  // "co-pixelStrings" or "co-bbbStrings"
  bool restartOnly_ = false;
  int32_t majorVersion_ = 0;

  mutable std::mutex mutex_;
  std::optional<std::string> pixelStrings_;
  std::optional<std::string> universes_;
  std::optional<std::string> appliedPixelStrings_;  // FPP 8: at last start
  std::optional<std::string> appliedUniverses_;
  int64_t restartUntilMs_ = 0;
  std::string statusName_ = "idle";
  struct Delay {
    std::string method;
    std::string prefix;
    int32_t ms = 0;
  };
  std::vector<Delay> delays_;
  struct Refusal {
    std::string method;
    std::string prefix;
    int32_t from = 1;
    int32_t seen = 0;
  };
  std::vector<Refusal> refusals_;
  std::atomic<bool> logToStdout_{false};
  std::atomic<int32_t> restarts_{0};
  std::vector<LoggedRequest> log_;
  FppFault fault_ = FppFault::kNone;
  std::string faultPrefix_;
  std::vector<uint8_t> pending_;  // channel data as it arrives
  std::vector<uint8_t> shown_;    // what the outputs show (after a push)
  std::vector<int64_t> updated_;  // per channel: ms of its last packet
  size_t dirtyBegin_ = SIZE_MAX, dirtyEnd_ = 0;

  std::string address_;
  HttpServer http_;
  platform::UdpSocket ddpSocket_;
  std::atomic<bool> running_{false};
  std::thread ddpThread_;
  std::atomic<int64_t> applied_{0};
  std::atomic<int64_t> ignored_{0};
  std::chrono::steady_clock::time_point epoch_ =
      std::chrono::steady_clock::now();
};

}  // namespace pxo::sim
