// A build without a window toolkit (the Windows build until its Win32
// window is in): no window opens, and the launch ends as a window that
// could not start does, with one empty result on a thread of its own.

#include "ui/scan_window.h"

#include <thread>
#include <utility>

namespace pxo::ui {

bool openScanWindow(ScanWindowLaunch launch) {
  std::thread([launch = std::move(launch)]() mutable {
    launch.session.reset();
    if (launch.result) launch.result("");
  }).detach();
  return false;
}

}  // namespace pxo::ui
