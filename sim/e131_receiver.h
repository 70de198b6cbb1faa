#pragma once

#include "platform/socket.h"
#include "scan/e131_wire.h"

#include "sim/led_source.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A pixel controller that a show already drives over E1.31, for the rig:
// it listens on a loopback address of its own (port 5568, unicast), keeps
// the latest slots of each universe, and lights one string of pixels from
// the layout's start channel on. The controller hands the strip each
// pixel's three channels in `colorOrder`; the strip reads them in its own
// order (`stripOrder`, the same unless wired otherwise). A universe that
// was not refreshed within the timeout, or whose source sent
// stream-terminated, goes dark.
//
// Threads: one receiving thread; allPortLeds from any thread.

namespace pxo::sim {

struct E131ReceiverConfig {
  E131Layout layout;
  int32_t pixels = 0;
  std::string colorOrder = "RGB";
  std::string stripOrder;  // "" = colorOrder
  int32_t port = 1;        // the port number allPortLeds reports
  std::chrono::milliseconds timeout{2500};  // the standard's data loss
};

class E131Receiver final : public LedSource {
 public:
  explicit E131Receiver(E131ReceiverConfig config);
  ~E131Receiver() override;
  E131Receiver(const E131Receiver&) = delete;
  E131Receiver& operator=(const E131Receiver&) = delete;

  // Binds 127.x.y.z:5568 and starts receiving. False with a message when
  // no address could be bound or the layout is out of range.
  [[nodiscard]] bool start(std::string* error);
  void stop();
  // The bound loopback address without the port.
  const std::string& address() const { return address_; }
  const E131Layout& layout() const { return config_.layout; }

  // The pixels' colours now, as the rig's cameras read a controller's.
  std::map<int32_t, std::vector<LedColor>> allPortLeds() const override;

  // Data packets taken, datagrams that were not one, and packets for
  // universes outside the string (kept, since the show may drive them).
  int64_t packetsReceived() const { return received_.load(); }
  int64_t malformed() const { return malformed_.load(); }
  // Every slot a packet set to something other than 0 outside the
  // string's channels: universe and slot (1-based), as sent.
  std::vector<std::pair<uint16_t, int32_t>> litOutsideTheString() const;
  // Every universe a data packet came for, ascending.
  std::vector<uint16_t> universesSeen() const;

 private:
  struct Universe {
    std::vector<uint8_t> slots;
    std::chrono::steady_clock::time_point at;
    bool terminated = false;
  };

  void receiveLoop();
  void take(const E131Packet& packet);
  // The value of channel `channel` (0-based from the start channel), 0 when
  // its universe is stale or terminated.
  uint8_t channelValue(int64_t channel,
                       std::chrono::steady_clock::time_point now) const;

  E131ReceiverConfig config_;
  platform::UdpSocket socket_;
  std::string address_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<int64_t> received_{0};
  std::atomic<int64_t> malformed_{0};
  mutable std::mutex mutex_;
  std::map<uint16_t, Universe> universes_;
  std::vector<std::pair<uint16_t, int32_t>> litOutside_;
};

}  // namespace pxo::sim
