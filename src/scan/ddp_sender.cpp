#include "scan/ddp_sender.h"

#include "platform/net_address.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace pxo {

namespace {

// The HTTP client's default port; only the host part is used here.
constexpr char kHttpPort[] = "80";
constexpr int64_t kMaxDdpOffset = std::numeric_limits<uint32_t>::max();

uint8_t nextSequence(uint8_t sequence) {
  return sequence >= 15 ? 1 : static_cast<uint8_t>(sequence + 1);
}

}  // namespace

DdpSender* openDdpSender(const char* host) {
  if (!host) return nullptr;
  platform::startNetworking();
  std::string bareHost = platform::splitHostAddress(host, kHttpPort).host;
  std::vector<platform::ResolvedAddress> addresses;
  if (!platform::resolveAddress(bareHost,
                                std::to_string(kDdpPort),
                                platform::AddressFamily::kIPv4,
                                platform::SocketType::kDatagram,
                                &addresses))
    return nullptr;
  auto sender = std::make_unique<DdpSender>();
  sender->socket = platform::UdpSocket::open(addresses.front());
  if (!sender->socket.valid()) return nullptr;
  sender->address = addresses.front().address;
  sender->sequence = 1;
  return sender.release();
}

int sendDdpFrame(DdpSender* sender,
                 std::span<const uint8_t> data,
                 int64_t startOffset) {
  if (!sender || !sender->socket.valid() || startOffset < 0) return -1;
  if (data.empty()) return 0;
  if (startOffset + static_cast<int64_t>(data.size()) - 1 > kMaxDdpOffset)
    return -1;

  std::array<uint8_t, kDdpHeaderSize + kDdpMaxPayload> packet;
  std::lock_guard lock(sender->sendMutex);
  size_t sent = 0;
  while (sent < data.size()) {
    size_t n = std::min(data.size() - sent, size_t{kDdpMaxPayload});
    auto offset =
        static_cast<uint32_t>(startOffset + static_cast<int64_t>(sent));
    bool last = sent + n >= data.size();
    packet[0] = last ? kDdpFlagsVersion1 | kDdpFlagPush : kDdpFlagsVersion1;
    packet[1] = sender->sequence & 0x0F;
    packet[2] = kDdpDataType;
    packet[3] = kDdpDestinationDefault;
    packet[4] = static_cast<uint8_t>(offset >> 24);
    packet[5] = static_cast<uint8_t>(offset >> 16);
    packet[6] = static_cast<uint8_t>(offset >> 8);
    packet[7] = static_cast<uint8_t>(offset);
    packet[8] = static_cast<uint8_t>(n >> 8);
    packet[9] = static_cast<uint8_t>(n);
    std::memcpy(packet.data() + kDdpHeaderSize, data.data() + sent, n);
    if (!sender->socket.sendTo(
            sender->address, packet.data(), kDdpHeaderSize + n))
      return -2;
    sender->sequence = nextSequence(sender->sequence);
    sent += n;
  }
  return 0;
}

int sendDdpBlackout(DdpSender* sender, int64_t length) {
  if (length < 1) return 0;
  if (!sender || !sender->socket.valid()) return -1;
  // A frame longer than the offset field can address is refused below.
  if (length > kMaxDdpOffset + 1) return -1;
  std::vector<uint8_t> zeros(static_cast<size_t>(length), 0);
  return sendDdpFrame(sender, zeros, 0);
}

void closeDdpSender(DdpSender* sender) { delete sender; }

}  // namespace pxo
