#include "api/pixoria.h"
#include "capture/camera_list.h"
#include "capture/onvif/onvif_client.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
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

static_assert(sizeof(DiscoveredCamera) == 480);
static_assert(offsetof(DiscoveredCamera, host) == 160);
static_assert(offsetof(DiscoveredCamera, serviceAddress) == 224);
static_assert(sizeof(CameraProfile) == 508);
static_assert(offsetof(CameraProfile, streamUri) == 96);
static_assert(offsetof(CameraProfile, width) == 496);
static_assert(offsetof(CameraProfile, frameRateLimit) == 504);

// Copies `text` into a fixed field, NUL-terminated, cut where a UTF-8
// character starts so that the field stays valid text.
template <size_t N>
void copyField(const std::string& text, char (&field)[N]) {
  size_t length = std::min(text.size(), N - 1);
  if (length < text.size())
    while (length > 0 &&
           (static_cast<unsigned char>(text[length]) & 0xc0) == 0x80)
      --length;
  std::memcpy(field, text.data(), length);
  std::memset(field + length, 0, N - length);
}

void writeError(char* error, int32_t errorSize, const std::string& text) {
  if (error && errorSize >= 1)
    std::snprintf(error, static_cast<size_t>(errorSize), "%s", text.c_str());
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

PXO_API int32_t pxo_discover_network_cameras(DiscoveredCamera* cameras,
                                             int32_t maxCount,
                                             int32_t timeoutMs) {
  if (!cameras || maxCount < 1) return 0;
  try {
    std::vector<pxo::DiscoveredNetworkCamera> found;
    const int32_t count =
        pxo::discoverOnvifCameras(maxCount, timeoutMs, &found);
    if (count < 0) return -1;
    for (size_t i = 0; i < found.size(); ++i) {
      copyField(found[i].label, cameras[i].label);
      copyField(found[i].host, cameras[i].host);
      copyField(found[i].serviceAddress, cameras[i].serviceAddress);
    }
    return static_cast<int32_t>(found.size());
  } catch (...) {
    return -1;
  }
}

PXO_API int32_t pxo_enumerate_camera_profiles(const char* deviceServiceUrl,
                                              const char* user,
                                              const char* password,
                                              CameraProfile* profiles,
                                              int32_t maxCount,
                                              char* error,
                                              int32_t errorSize) {
  if (!deviceServiceUrl || !profiles || maxCount < 1) {
    writeError(error, errorSize, "bad arguments");
    return -1;
  }
  try {
    std::vector<pxo::OnvifProfile> found;
    std::string reason;
    const int32_t count = pxo::listCameraProfiles(deviceServiceUrl,
                                                  user ? user : "",
                                                  password ? password : "",
                                                  &found,
                                                  &reason);
    writeError(error, errorSize, reason);
    if (count <= 0) return count;
    const size_t n = std::min(found.size(), static_cast<size_t>(maxCount));
    for (size_t i = 0; i < n; ++i) {
      copyField(found[i].name, profiles[i].name);
      copyField(found[i].streamUri, profiles[i].streamUri);
      profiles[i].width = found[i].width;
      profiles[i].height = found[i].height;
      profiles[i].frameRateLimit = found[i].frameRateLimit;
    }
    return static_cast<int32_t>(n);
  } catch (const std::exception& e) {
    writeError(error, errorSize, e.what());
    return -1;
  }
}

}  // extern "C"
