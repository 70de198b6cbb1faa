#include "sim/e131_receiver.h"

#include "sim/loopback.h"

#include <algorithm>

namespace pxo::sim {

namespace {

// How long one wait for a datagram lasts, so that stop() is noticed.
constexpr std::chrono::milliseconds kPoll{50};

}  // namespace

E131Receiver::E131Receiver(E131ReceiverConfig config)
    : config_(std::move(config)) {
  if (config_.stripOrder.empty()) config_.stripOrder = config_.colorOrder;
}

E131Receiver::~E131Receiver() { stop(); }

bool E131Receiver::start(std::string* error) {
  const E131Layout& layout = config_.layout;
  if (layout.universeSize < 1 || layout.universeSize > kE131MaxSlots ||
      layout.startChannel < 1 || layout.startChannel > layout.universeSize ||
      config_.pixels < 0 || config_.colorOrder.size() != 3) {
    if (error) *error = "the receiver's layout is out of range";
    return false;
  }
  socket_ = bindLoopbackUdp(kE131Port, &address_);
  if (!socket_.valid()) {
    if (error) *error = "no loopback address for the E1.31 receiver";
    return false;
  }
  socket_.setReceiveBufferSize(8 << 20);
  running_ = true;
  thread_ = std::thread([this] { receiveLoop(); });
  return true;
}

void E131Receiver::stop() {
  running_ = false;
  if (thread_.joinable()) thread_.join();
  socket_.close();
}

void E131Receiver::receiveLoop() {
  std::vector<uint8_t> buffer(2048);
  while (running_) {
    const long n = socket_.receiveFrom(buffer.data(), buffer.size(), kPoll);
    if (n <= 0) continue;
    const auto packet =
        parseE131DataPacket(std::span(buffer.data(), static_cast<size_t>(n)));
    if (!packet || packet->startCode != 0) {
      ++malformed_;
      continue;
    }
    ++received_;
    take(*packet);
  }
}

void E131Receiver::take(const E131Packet& packet) {
  const E131Layout& layout = config_.layout;
  // The string's channels, as universe-relative slots (1-based).
  const int64_t first = int64_t{layout.firstUniverse} * layout.universeSize +
                        layout.startChannel - 1;
  const int64_t last = first + int64_t{config_.pixels} * 3 - 1;
  std::lock_guard lock(mutex_);
  for (size_t i = 0; i < packet.slots.size(); ++i) {
    const int64_t at = int64_t{packet.universe} * layout.universeSize +
                       static_cast<int64_t>(i);
    const bool inside = static_cast<int64_t>(i) < layout.universeSize &&
                        at >= first && at <= last;
    if (!inside && packet.slots[i] != 0)
      litOutside_.emplace_back(packet.universe, static_cast<int32_t>(i + 1));
  }
  Universe& universe = universes_[packet.universe];
  universe.slots = packet.slots;
  universe.at = std::chrono::steady_clock::now();
  universe.terminated = (packet.options & kE131OptionStreamTerminated) != 0;
}

uint8_t E131Receiver::channelValue(
    int64_t channel, std::chrono::steady_clock::time_point now) const {
  const E131Layout& layout = config_.layout;
  const int64_t absolute = int64_t{layout.firstUniverse} * layout.universeSize +
                           layout.startChannel - 1 + channel;
  const auto number = static_cast<uint16_t>(absolute / layout.universeSize);
  const auto slot = static_cast<size_t>(absolute % layout.universeSize);
  const auto found = universes_.find(number);
  if (found == universes_.end()) return 0;
  const Universe& universe = found->second;
  if (universe.terminated || now - universe.at > config_.timeout) return 0;
  return slot < universe.slots.size() ? universe.slots[slot] : 0;
}

std::map<int32_t, std::vector<LedColor>> E131Receiver::allPortLeds() const {
  const auto now = std::chrono::steady_clock::now();
  std::vector<LedColor> leds(static_cast<size_t>(config_.pixels));
  std::lock_guard lock(mutex_);
  for (int32_t p = 0; p < config_.pixels; ++p) {
    LedColor& led = leds[static_cast<size_t>(p)];
    // Byte k to the strip carries the channel named by colorOrder[k]; the
    // strip reads it as the colour its own wiring puts at position k.
    for (size_t k = 0; k < 3; ++k) {
      const size_t component =
          std::string_view("RGB").find(config_.colorOrder[k]);
      if (component == std::string_view::npos || k >= config_.stripOrder.size())
        continue;
      const uint8_t value =
          channelValue(int64_t{p} * 3 + static_cast<int64_t>(component), now);
      switch (config_.stripOrder[k]) {
        case 'R':
          led.r = value;
          break;
        case 'G':
          led.g = value;
          break;
        case 'B':
          led.b = value;
          break;
        default:
          break;
      }
    }
  }
  return {{config_.port, std::move(leds)}};
}

std::vector<std::pair<uint16_t, int32_t>> E131Receiver::litOutsideTheString()
    const {
  std::lock_guard lock(mutex_);
  return litOutside_;
}

std::vector<uint16_t> E131Receiver::universesSeen() const {
  std::lock_guard lock(mutex_);
  std::vector<uint16_t> seen;
  for (const auto& [number, universe] : universes_) seen.push_back(number);
  return seen;
}

}  // namespace pxo::sim
