#include "platform/process.h"

#include <unistd.h>

namespace pxo::platform {

uint32_t processId() { return static_cast<uint32_t>(::getpid()); }

}  // namespace pxo::platform
