#include "platform/interrupt.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <pthread.h>
#include <unistd.h>

namespace pxo::platform {

void onInterrupt(std::function<void()> handler) {
  // Blocked here, the signals are inherited blocked by every later thread
  // and only the waiting thread receives them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread([signals, handler = std::move(handler)] {
    int received = 0;
    if (sigwait(&signals, &received) != 0) return;
    handler();
    // _exit skips the stdio flush: what the handler said must still reach
    // a pipe or a log file.
    std::fflush(nullptr);
    ::_exit(130);
  }).detach();
}

}  // namespace pxo::platform
