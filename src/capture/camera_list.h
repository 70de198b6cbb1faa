#pragma once

#include "capture/capture_source.h"

#include <memory>
#include <string>
#include <vector>

namespace pxowin {

// One local camera: a stable identifier to open it by, and its name.
struct CameraDevice {
  std::string id;
  std::string name;
};

// Lists the local video-capture cameras (none is no error).
[[nodiscard]] bool enumerateCameras(std::vector<CameraDevice>* out,
                                    std::string* error);

// The capture source for a local camera, started later by its identifier
// (V4L2 on Linux); null when this build has no camera back end.
std::unique_ptr<ICaptureSource> createLocalCamera();

// Puts back the controls a scan of the local camera `deviceId` froze and
// did not put back (a crash), from its restore record, checked; the record
// then goes. True with `*found` false when there is no record.
[[nodiscard]] bool restoreCameraControls(const std::string& deviceId,
                                         bool* found,
                                         std::string* error);

}  // namespace pxowin
