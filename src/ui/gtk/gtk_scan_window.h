#pragma once

#include "scan/session.h"

#include <functional>
#include <memory>
#include <string>

// The scan window drawn with GTK 3 and Cairo.
//
// Threads: GTK is used from one thread only, the GTK thread. When the
// process runs no GTK main loop of its own, the first window starts one on
// a thread of the library's (it serves every later window too); when the
// host already runs one on the default main context, the windows are made
// there. openScanWindow may be called from any thread and returns at once;
// everything else in gtk_scan_window.cpp runs on the GTK thread, apart from
// the wizard's workers and the camera's frame callback, which only post.

namespace pxo::ui {

struct ScanWindowLaunch {
  std::unique_ptr<ScanSession> session;
  // Called once when the window goes: the model path, or "" for a cancel.
  std::function<void(const std::string&)> result;
  std::string controllerHost;  // connect at once when not empty
  std::string hostField;       // else: put in the host field, not connected
  std::string modelName;       // "" → "MappedModel"
};

// Opens a window on the GTK thread. False when GTK cannot start (no
// display); the result is then called with "" on a thread of its own.
// The result is never called on the caller's thread.
bool openScanWindow(ScanWindowLaunch launch);

}  // namespace pxo::ui
