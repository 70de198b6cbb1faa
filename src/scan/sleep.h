#pragma once

#include <chrono>

namespace pxo {

// Blocks the calling thread at least `milliseconds` on the steady clock;
// returns at once for a value below 1.
void sleepMilliseconds(int milliseconds);

// Blocks the calling thread until `deadline` on the steady clock.
void sleepUntil(std::chrono::steady_clock::time_point deadline);

}  // namespace pxo
