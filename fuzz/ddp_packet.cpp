// Datagrams as they arrive at the simulated controller's port 4048.

#include "sim/ddp_receiver.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pxo::sim::DdpPacket packet;
  std::string error;
  std::span<const uint8_t> datagram(data, size);
  if (pxo::sim::parseDdpPacket(datagram, &packet, &error)) {
    size_t header = packet.hasTimecode ? 14 : 10;
    if (packet.payload.size() + header > size) __builtin_trap();
  } else if (error.empty()) {
    __builtin_trap();
  }
  return 0;
}
