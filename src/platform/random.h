#pragma once

#include <cstddef>

namespace pxo::platform {

// Fills `buffer` with bytes from the OS's cryptographic random source;
// false when it could not (the buffer is then unchanged).
[[nodiscard]] bool secureRandom(void* buffer, size_t size);

}  // namespace pxo::platform
