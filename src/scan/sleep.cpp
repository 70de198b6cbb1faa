#include "scan/sleep.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace pxo {

void sleepMilliseconds(int milliseconds) {
  if (milliseconds <= 0) return;
  sleepUntil(std::chrono::steady_clock::now() +
             std::chrono::milliseconds(milliseconds));
}

void sleepUntil(std::chrono::steady_clock::time_point deadline) {
  using Clock = std::chrono::steady_clock;
  const auto oneDay = std::chrono::milliseconds(24LL * 3600 * 1000);
  // sleep_for may wake early (signals, coarse timers); sleep out the rest.
  for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    std::this_thread::sleep_for(std::min(left, oneDay));
  }
}

}  // namespace pxo
