#include "api/pixoria.h"
#include "capture/camera_list.h"

#include <new>
#include <string>
#include <vector>

struct pxo_camera_list {
  std::vector<pxowin::CameraDevice> cameras;
};

namespace {

const pxowin::CameraDevice* cameraAt(const pxo_camera_list* list,
                                     int32_t index) {
  if (!list || index < 0 || static_cast<size_t>(index) >= list->cameras.size())
    return nullptr;
  return &list->cameras[static_cast<size_t>(index)];
}

}  // namespace

extern "C" {

PXO_API int32_t pxo_scan_backend_status(void) { return 0; }

PXO_API pxo_camera_list* pxo_scan_camera_list(void) {
  auto* list = new (std::nothrow) pxo_camera_list;
  if (!list) return nullptr;
  try {
    if (!pxowin::enumerateCameras(&list->cameras, nullptr))
      list->cameras.clear();
  } catch (...) {
    list->cameras.clear();
  }
  return list;
}

PXO_API int64_t pxo_camera_list_count(const pxo_camera_list* list) {
  return list ? static_cast<int64_t>(list->cameras.size()) : 0;
}

PXO_API const char* pxo_camera_list_id(const pxo_camera_list* list,
                                       int32_t index) {
  const pxowin::CameraDevice* camera = cameraAt(list, index);
  return camera ? camera->id.c_str() : "";
}

PXO_API const char* pxo_camera_list_name(const pxo_camera_list* list,
                                         int32_t index) {
  const pxowin::CameraDevice* camera = cameraAt(list, index);
  return camera ? camera->name.c_str() : "";
}

PXO_API void pxo_camera_list_free(pxo_camera_list* list) { delete list; }

}  // extern "C"
