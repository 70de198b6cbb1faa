#pragma once

#include "platform/socket.h"
#include "scan/e131_wire.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

// E1.31 output to a receiver the show already drives: unicast to its
// address, or multicast to each universe's group, port 5568. A frame goes
// out as one data packet per universe it touches (e131Universes); each
// universe counts its own sequence numbers. When the scan ends, every
// universe sent gets three packets with the stream-terminated option, so
// the receiver lets go at once instead of after its timeout.
//
// Threads: as the DDP sender, each frame is sent under the sender's mutex.

namespace pxo {

inline constexpr char kE131Multicast[] = "multicast";

struct E131Sender {
  platform::UdpSocket socket;
  platform::SocketAddress unicast;  // empty for multicast
  uint16_t port = kE131Port;
  E131Source source;
  E131Layout layout;
  std::mutex sendMutex;
  std::map<uint16_t, uint8_t> sequences;  // next number per universe
  std::map<uint16_t, std::vector<uint8_t>> lastSlots;  // for the end
};

// Opens a sender to `host` (a name or IPv4 address, or "multicast").
// Null with a message when the layout is out of range or the host cannot
// be resolved or the socket cannot be made.
std::unique_ptr<E131Sender> openE131Sender(std::string_view host,
                                           const E131Source& source,
                                           const E131Layout& layout,
                                           std::string* error,
                                           uint16_t port = kE131Port);

// Sends `frame` from the layout's start channel on. 0 when every packet
// went out, -1 for a frame the layout cannot hold, -2 when a send failed.
int sendE131Frame(E131Sender& sender, std::span<const uint8_t> frame);

// Three stream-terminated packets for every universe sent, with the slots
// it last had; 0 when they all went out.
int sendE131StreamTerminated(E131Sender& sender);

}  // namespace pxo
