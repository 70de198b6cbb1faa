#include "platform/random.h"

#include <cerrno>
#include <cstdint>

#include <sys/random.h>

namespace pxo::platform {

bool secureRandom(void* buffer, size_t size) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  size_t filled = 0;
  while (filled < size) {
    const ssize_t n = ::getrandom(bytes + filled, size - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    filled += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace pxo::platform
