#pragma once

#include "platform/socket.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The receiving end of DDP as the controller implements it, for tests and
// the simulated controller. Binds a loopback address of its own on port
// 4048, so parallel tests never share a receiver.

namespace pxo::sim {

struct DdpPacket {
  uint8_t flags = 0;
  uint8_t sequence = 0;  // low 4 bits of byte 1
  uint8_t dataType = 0;
  uint8_t destination = 0;
  uint32_t offset = 0;
  bool hasTimecode = false;  // flags & 0x10: a 4-byte timecode follows
  std::vector<uint8_t> payload;

  bool push() const { return (flags & 0x01) != 0; }
  // The controller stores only data for destination 1.
  bool isData() const { return destination == 1; }
};

// Parses one datagram. False, with a message, for one shorter than its
// header or whose length field runs past the datagram.
[[nodiscard]] bool parseDdpPacket(std::span<const uint8_t> datagram,
                                  DdpPacket* out,
                                  std::string* error = nullptr);

class DdpReceiver {
 public:
  // Binds 127.x.y.z:4048 with x.y.z derived from the process ID, trying a
  // few neighbours when one is taken. Check valid() and address().
  DdpReceiver();

  bool valid() const { return socket_.valid(); }
  // The bound loopback address without the port, e.g. "127.1.36.17".
  const std::string& address() const { return address_; }

  // Waits up to `timeout` for one well-formed packet; datagrams that do not
  // parse are counted and skipped.
  std::optional<DdpPacket> receive(std::chrono::milliseconds timeout);
  int malformedCount() const { return malformed_; }

 private:
  platform::UdpSocket socket_;
  std::string address_;
  int malformed_ = 0;
};

}  // namespace pxo::sim
