#include "platform/interrupt.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

#include <windows.h>

namespace pxo::platform {
namespace {

std::function<void()>& interruptHandler() {
  static std::function<void()> handler;
  return handler;
}

// The console calls this on a thread of its own for Ctrl-C, Ctrl-Break,
// closing the console window, logging off and shutting down. For the last
// three Windows ends the process when the handler returns (or after a few
// seconds), so the handler does its work before returning and ends the
// process itself.
BOOL WINAPI onConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  // A second event while the first is being handled waits for it: the
  // process ends at the end of the first.
  static std::mutex once;
  std::lock_guard<std::mutex> lock(once);
  if (interruptHandler()) interruptHandler()();
  std::fflush(nullptr);
  // As _exit on Linux: no static destructors racing the other threads.
  ::TerminateProcess(::GetCurrentProcess(), 130);
  return TRUE;
}

}  // namespace

void onInterrupt(std::function<void()> handler) {
  interruptHandler() = std::move(handler);
  ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

}  // namespace pxo::platform
