#include "platform/random.h"

#include <climits>
#include <cstdint>

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

namespace pxo::platform {

bool secureRandom(void* buffer, size_t size) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  while (size > 0) {
    const ULONG chunk = size > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(size);
    if (!BCRYPT_SUCCESS(::BCryptGenRandom(
            nullptr, bytes, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
      return false;
    bytes += chunk;
    size -= chunk;
  }
  return true;
}

}  // namespace pxo::platform
