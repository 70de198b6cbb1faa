#include "scan/e131_sender.h"

#include <vector>

namespace pxo {
namespace {

bool resolveDatagram(const std::string& host,
                     uint16_t port,
                     platform::ResolvedAddress* out) {
  std::vector<platform::ResolvedAddress> addresses;
  if (!platform::resolveAddress(host,
                                std::to_string(port),
                                platform::AddressFamily::kIPv4,
                                platform::SocketType::kDatagram,
                                &addresses) ||
      addresses.empty())
    return false;
  *out = addresses.front();
  return true;
}

// Where a universe's packets go: the receiver, or the universe's group (a
// numeric address, so no lookup per packet).
platform::SocketAddress destinationOf(const E131Sender& sender,
                                      uint16_t universe) {
  if (!sender.unicast.empty()) return sender.unicast;
  platform::SocketAddress group;
  if (!platform::makeIPv4Address(
          e131MulticastAddress(universe), sender.port, &group))
    return {};
  return group;
}

bool sendUniverse(E131Sender& sender,
                  uint16_t universe,
                  std::span<const uint8_t> slots,
                  bool terminated) {
  uint8_t& sequence = sender.sequences[universe];
  const auto packet =
      e131DataPacket(sender.source, universe, sequence, slots, terminated);
  const platform::SocketAddress to = destinationOf(sender, universe);
  if (packet.empty() || to.empty() ||
      !sender.socket.sendTo(to, packet.data(), packet.size()))
    return false;
  ++sequence;
  return true;
}

}  // namespace

std::unique_ptr<E131Sender> openE131Sender(std::string_view host,
                                           const E131Source& source,
                                           const E131Layout& layout,
                                           std::string* error,
                                           uint16_t port) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return nullptr;
  };
  if (e131Universes(layout, std::vector<uint8_t>(1)).empty())
    return fail("the universe layout is out of range");
  platform::startNetworking();
  auto sender = std::make_unique<E131Sender>();
  sender->port = port;
  sender->source = source;
  sender->layout = layout;
  const bool multicast = host == kE131Multicast;
  platform::ResolvedAddress where;
  if (!resolveDatagram(multicast ? e131MulticastAddress(layout.firstUniverse)
                                 : std::string(host),
                       port,
                       &where))
    return fail("could not resolve " + std::string(host));
  sender->socket = platform::UdpSocket::open(where);
  if (!sender->socket.valid()) return fail("could not open E1.31 socket");
  if (multicast) {
    // The show's own network, not beyond its router.
    (void)sender->socket.setMulticastTtl(1);
  } else {
    sender->unicast = where.address;
  }
  return sender;
}

int sendE131Frame(E131Sender& sender, std::span<const uint8_t> frame) {
  const auto universes = e131Universes(sender.layout, frame);
  if (universes.empty() && !frame.empty()) return -1;
  std::lock_guard lock(sender.sendMutex);
  for (const UniverseSlots& u : universes) {
    if (!sendUniverse(sender, u.universe, u.slots, false)) return -2;
    sender.lastSlots[u.universe] = u.slots;
  }
  return 0;
}

int sendE131StreamTerminated(E131Sender& sender) {
  std::lock_guard lock(sender.sendMutex);
  int status = 0;
  for (int round = 0; round < 3; ++round)
    for (const auto& [universe, slots] : sender.lastSlots)
      if (!sendUniverse(sender, universe, slots, true)) status = -2;
  return status;
}

}  // namespace pxo
