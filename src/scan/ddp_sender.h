#pragma once

#include "platform/socket.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

// DDP output to the controller's UDP port 4048.
//
// A frame of L bytes goes out as back-to-back packets of at most 1440 payload
// bytes, each with a 10-byte header (flags, sequence, data type, destination,
// 32-bit offset, 16-bit length, big-endian); only the last packet carries the
// push flag. The sequence number runs 1 ... 15 and wraps to 1, never 0.
//
// Threads: the keep-alive thread and the thread running a scan or the
// brightness calibration send through one sender at once. Each frame is sent
// under the sender's own mutex, so the packets of one frame always carry
// consecutive sequence numbers and no number is used twice or skipped; the
// pattern player's frame mutex is never held while sending.
//
//   DdpSenderPtr sender(openDdpSender("http://fpp.local/"));
//   if (sender) sendDdpFrame(sender.get(), frame, 0);

namespace pxo {

inline constexpr uint16_t kDdpPort = 4048;
inline constexpr int32_t kDdpMaxPayload = 1440;
inline constexpr int32_t kDdpHeaderSize = 10;
inline constexpr uint8_t kDdpFlagsVersion1 = 0x40;
inline constexpr uint8_t kDdpFlagPush = 0x01;
inline constexpr uint8_t kDdpDataType = 0x00;
inline constexpr uint8_t kDdpDestinationDefault = 0x01;

struct DdpSender {
  platform::UdpSocket socket;
  platform::SocketAddress address;  // the controller, port 4048
  std::mutex sendMutex;             // held for the whole of one frame
  uint8_t sequence = 1;             // next packet's number; under sendMutex
};

// Opens a sender to `host`, which may be written as the user typed it for
// the HTTP client ("http://fpp.local:8080/"): scheme, port and trailing
// slashes are dropped and the bare host is resolved (IPv4) with port 4048.
// Null on a null host or when lookup or socket creation fails; the caller
// reports "could not open DDP socket".
[[nodiscard]] DdpSender* openDdpSender(const char* host);

// Sends `data` as one frame starting at channel offset `startOffset`.
// 0 when every packet went out (and at once for empty data); -1 for a
// missing sender, an invalid socket, a negative offset or a frame that runs
// past the 32-bit offset field; -2 when a send failed (the rest of the frame
// is not sent).
int sendDdpFrame(DdpSender* sender,
                 std::span<const uint8_t> data,
                 int64_t startOffset);

// Sends `length` zero bytes at offset 0; 0 for a length below 1.
int sendDdpBlackout(DdpSender* sender, int64_t length);

void closeDdpSender(DdpSender* sender);

struct DdpSenderCloser {
  void operator()(DdpSender* sender) const { closeDdpSender(sender); }
};
using DdpSenderPtr = std::unique_ptr<DdpSender, DdpSenderCloser>;

}  // namespace pxo
