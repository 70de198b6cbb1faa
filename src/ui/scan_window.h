#pragma once

#include "scan/session.h"

#include <functional>
#include <memory>
#include <string>

// The scan window as the exports open it; each platform's window toolkit
// implements openScanWindow (ui/gtk/ on Linux).

namespace pxo::ui {

struct ScanWindowLaunch {
  std::unique_ptr<ScanSession> session;
  // Called once when the window goes: the model path, or "" for a cancel.
  std::function<void(const std::string&)> result;
  std::string controllerHost;  // connect at once when not empty
  std::string hostField;       // else: put in the host field, not connected
  // The controller list's choice the window opens with (FPP by default).
  ControllerKind controllerKind = ControllerKind::kFpp;
  std::string modelName;  // "" → "MappedModel"
};

// Opens a window on the toolkit's thread and returns at once. False when
// no window can open (no display, or no toolkit in this build); the result
// is then called with "" on a thread of its own.
// The result is never called on the caller's thread.
bool openScanWindow(ScanWindowLaunch launch);

}  // namespace pxo::ui
