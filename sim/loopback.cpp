#include "sim/loopback.h"

#include "platform/process.h"

#include <atomic>
#include <cstdint>

namespace pxo::sim {

std::string nextLoopbackAddress() {
  // 127.0.0.0/8 has 24 bits and process IDs use at most 22, leaving four
  // addresses per process before the counter spills into a neighbour's.
  static std::atomic<uint32_t> counter{0};
  uint32_t index = (platform::processId() << 2) + counter++;
  index &= 0xFFFFFF;
  if (index < 2) index += 2;  // keep clear of 127.0.0.1
  return "127." + std::to_string((index >> 16) & 0xFF) + "." +
         std::to_string((index >> 8) & 0xFF) + "." +
         std::to_string(index & 0xFF);
}

platform::UdpSocket bindLoopbackUdp(uint16_t port, std::string* address) {
  platform::UdpSocket socket;
  for (int attempt = 0; attempt < kLoopbackAttempts && !socket.valid();
       ++attempt) {
    const std::string candidate = nextLoopbackAddress();
    platform::SocketAddress local;
    if (!platform::makeIPv4Address(candidate, port, &local)) continue;
    socket = platform::UdpSocket::bind(local);
    if (socket.valid()) *address = candidate;
  }
  return socket;
}

}  // namespace pxo::sim
