#pragma once

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

}  // namespace pxowin
