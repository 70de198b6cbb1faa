#pragma once

#include "ui/scan_window.h"

// The scan window drawn with GTK 3 and Cairo.
//
// Threads: GTK is used from one thread only, the GTK thread. When the
// process runs no GTK main loop of its own, the first window starts one on
// a thread of the library's (it serves every later window too); when the
// host already runs one on the default main context, the windows are made
// there. openScanWindow may be called from any thread and returns at once;
// everything else in gtk_scan_window.cpp runs on the GTK thread, apart from
// the wizard's workers and the camera's frame callback, which only post.
