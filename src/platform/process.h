#pragma once

#include <cstdint>

namespace pxo::platform {

// The calling process's ID.
uint32_t processId();

}  // namespace pxo::platform
