#include "api/pixoria.h"
#include "capture/camera_list.h"
#include "capture/onvif/onvif_client.h"
#include "capture/rtsp/rtsp_capture.h"
#include "scan/session.h"
#include "ui/scan_window.h"

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

namespace {

std::string text(const char* s) { return s ? std::string(s) : std::string(); }

// The launch: the session takes the camera (none when it could not be
// made; the session reports that when it starts it), the window takes the
// session, and the host's callback is wrapped to turn "" into null.
void launchScanWindow(std::unique_ptr<pxowin::ICaptureSource> camera,
                      std::string cameraId,
                      std::string dataFolder,
                      std::string controllerHost,
                      std::string modelName,
                      pxo_scan_result_callback callback,
                      void* context) {
  pxo::ui::ScanWindowLaunch launch;
  launch.session = pxo::createScanSession(
      std::move(camera), std::move(cameraId), std::move(dataFolder));
  if (callback)
    launch.result = [callback, context](const std::string& result) {
      callback(result.empty() ? nullptr : result.c_str(), context);
    };
  launch.controllerHost = std::move(controllerHost);
  launch.modelName = std::move(modelName);
  (void)pxo::ui::openScanWindow(std::move(launch));
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

PXO_API void pxo_present_scan_window_host(const char* cameraId,
                                          const char* dataFolder,
                                          const char* controllerHost,
                                          const char* modelName,
                                          pxo_scan_result_callback callback,
                                          void* context) {
  launchScanWindow(pxowin::createLocalCamera(),
                   text(cameraId),
                   text(dataFolder),
                   text(controllerHost),
                   text(modelName),
                   callback,
                   context);
}

PXO_API void pxo_present_scan_window(const char* cameraId,
                                     const char* dataFolder,
                                     pxo_scan_result_callback callback,
                                     void* context) {
  pxo_present_scan_window_host(
      cameraId, dataFolder, nullptr, nullptr, callback, context);
}

PXO_API void pxo_present_scan_window_rtsp_host(
    const char* rtspUrl,
    const char* rtspUser,
    const char* rtspPassword,
    const char* dataFolder,
    const char* controllerHost,
    const char* modelName,
    pxo_scan_result_callback callback,
    void* context) {
  std::unique_ptr<pxowin::ICaptureSource> camera(
      new (std::nothrow) pxowin::RTSPCapture(
          text(rtspUrl), text(rtspUser), text(rtspPassword)));
  launchScanWindow(std::move(camera),
                   "",
                   text(dataFolder),
                   text(controllerHost),
                   text(modelName),
                   callback,
                   context);
}

PXO_API void pxo_present_scan_window_rtsp(const char* rtspUrl,
                                          const char* rtspUser,
                                          const char* rtspPassword,
                                          const char* dataFolder,
                                          pxo_scan_result_callback callback,
                                          void* context) {
  pxo_present_scan_window_rtsp_host(rtspUrl,
                                    rtspUser,
                                    rtspPassword,
                                    dataFolder,
                                    nullptr,
                                    nullptr,
                                    callback,
                                    context);
}

}  // extern "C"
