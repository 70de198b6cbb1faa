#pragma once

#include <functional>

namespace pxo::platform {

// Runs `handler` on a thread of its own when the user interrupts the
// process (Ctrl-C, or a termination request), flushes the standard streams
// and ends the process with status 130. Call once, before starting other
// threads.
void onInterrupt(std::function<void()> handler);

}  // namespace pxo::platform
