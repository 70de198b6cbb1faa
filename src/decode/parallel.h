#pragma once

#include <cstdint>
#include <functional>

namespace pxo {

// Runs task(0) ... task(count - 1) on min(hardware threads, count) threads:
// the calling thread and workers created for the call, each taking the next
// index from a shared counter; returns when all are done. Runs serially for
// one task, on one hardware thread, or when called from inside a task (so
// nested use never spawns threads).
void parallelFor(int32_t count, const std::function<void(int32_t)>& task);

}  // namespace pxo
