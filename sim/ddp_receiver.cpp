#include "sim/ddp_receiver.h"

#include "sim/loopback.h"

namespace pxo::sim {

namespace {

constexpr size_t kBaseHeader = 10;
constexpr size_t kTimecodeHeader = 14;
constexpr uint8_t kTimecodeFlag = 0x10;
constexpr uint16_t kPort = 4048;

void setError(std::string* error, const char* message) {
  if (error) *error = message;
}

}  // namespace

bool parseDdpPacket(std::span<const uint8_t> datagram,
                    DdpPacket* out,
                    std::string* error) {
  if (datagram.size() < kBaseHeader) {
    setError(error, "ddp packet shorter than its header");
    return false;
  }
  DdpPacket packet;
  packet.flags = datagram[0];
  packet.sequence = datagram[1] & 0x0F;
  packet.dataType = datagram[2];
  packet.destination = datagram[3];
  packet.offset = (uint32_t{datagram[4]} << 24) |
                  (uint32_t{datagram[5]} << 16) | (uint32_t{datagram[6]} << 8) |
                  uint32_t{datagram[7]};
  size_t length = (size_t{datagram[8]} << 8) | size_t{datagram[9]};
  packet.hasTimecode = (packet.flags & kTimecodeFlag) != 0;
  size_t header = packet.hasTimecode ? kTimecodeHeader : kBaseHeader;
  if (datagram.size() < header || length > datagram.size() - header) {
    setError(error, "ddp length runs past the datagram");
    return false;
  }
  auto payload = datagram.subspan(header, length);
  packet.payload.assign(payload.begin(), payload.end());
  *out = std::move(packet);
  return true;
}

DdpReceiver::DdpReceiver() {
  socket_ = bindLoopbackUdp(kPort, &address_);
  // Tests send bursts faster than they drain; give the queue room.
  socket_.setReceiveBufferSize(8 << 20);
}

std::optional<DdpPacket> DdpReceiver::receive(
    std::chrono::milliseconds timeout) {
  auto deadline = platform::Clock::now() + timeout;
  uint8_t buffer[65536];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - platform::Clock::now());
    if (left.count() < 0) return std::nullopt;
    long n = socket_.receiveFrom(buffer, sizeof buffer, left);
    if (n < 0) return std::nullopt;
    DdpPacket packet;
    if (parseDdpPacket(std::span(buffer, static_cast<size_t>(n)), &packet))
      return packet;
    ++malformed_;
  }
}

}  // namespace pxo::sim
