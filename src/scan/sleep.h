#pragma once

namespace pxo {

// Blocks the calling thread at least `milliseconds` on the steady clock;
// returns at once for a value below 1.
void sleepMilliseconds(int milliseconds);

}  // namespace pxo
