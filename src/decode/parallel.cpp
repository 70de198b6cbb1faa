#include "decode/parallel.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace pxo {

namespace {
thread_local bool tInsideParallelFor = false;
}  // namespace

void parallelFor(int32_t count, const std::function<void(int32_t)>& task) {
  if (count <= 0) return;
  unsigned hardware = std::max(1u, std::thread::hardware_concurrency());
  auto threads =
      static_cast<int32_t>(std::min<unsigned>(hardware, unsigned(count)));
  if (count == 1 || threads <= 1 || tInsideParallelFor) {
    bool outer = tInsideParallelFor;
    tInsideParallelFor = true;
    for (int32_t i = 0; i < count; ++i) task(i);
    tInsideParallelFor = outer;
    return;
  }
  std::atomic<int32_t> next{0};
  auto run = [&] {
    tInsideParallelFor = true;
    for (int32_t i = next++; i < count; i = next++) task(i);
  };
  std::vector<std::thread> workers;
  workers.reserve(static_cast<size_t>(threads - 1));
  for (int32_t i = 1; i < threads; ++i) workers.emplace_back(run);
  run();
  tInsideParallelFor = false;
  for (std::thread& worker : workers) worker.join();
}

}  // namespace pxo
