#pragma once

#include "platform/socket.h"

#include <cstdint>
#include <string>

namespace pxo::sim {

// A loopback address (127.x.y.z) for a simulated device or test peer. Each
// call gives a new one: derived from the process ID, so processes running
// in parallel never pick the same address, and from a per-process counter.
std::string nextLoopbackAddress();

// How many addresses a binder should try before giving up.
inline constexpr int kLoopbackAttempts = 32;

// A UDP socket bound to `port` on a loopback address of this process's own,
// trying kLoopbackAttempts addresses until one is free; `*address` gets the
// address taken. An invalid socket when none was.
platform::UdpSocket bindLoopbackUdp(uint16_t port, std::string* address);

}  // namespace pxo::sim
