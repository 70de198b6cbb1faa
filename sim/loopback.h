#pragma once

#include <string>

namespace pxo::sim {

// A loopback address (127.x.y.z) for a simulated device or test peer. Each
// call gives a new one: derived from the process ID, so processes running
// in parallel never pick the same address, and from a per-process counter.
std::string nextLoopbackAddress();

// How many addresses a binder should try before giving up.
inline constexpr int kLoopbackAttempts = 32;

}  // namespace pxo::sim
