#pragma once

/* The C interface of libpixoria: the only symbols the library exports. */

#include <stdint.h>

#if defined(_WIN32) && defined(PXO_BUILDING_DLL)
#define PXO_API __declspec(dllexport)
#elif defined(_WIN32)
#define PXO_API __declspec(dllimport)
#else
#define PXO_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status of the camera back end; always 0. */
PXO_API int32_t pxo_scan_backend_status(void);

/* The local cameras. The list owns its strings; they stay valid until the
 * list is freed. Enumeration errors give an empty list. */
typedef struct pxo_camera_list pxo_camera_list;
PXO_API pxo_camera_list* pxo_scan_camera_list(void);
/* Number of cameras; 0 for a null list. */
PXO_API int64_t pxo_camera_list_count(const pxo_camera_list* list);
/* A camera's identifier (to open it by) or name; "" for a null list or an
 * index out of range, never null. */
PXO_API const char* pxo_camera_list_id(const pxo_camera_list* list,
                                       int32_t index);
PXO_API const char* pxo_camera_list_name(const pxo_camera_list* list,
                                         int32_t index);
/* Frees the list; null is ignored. */
PXO_API void pxo_camera_list_free(pxo_camera_list* list);

/* A network camera that answered discovery (480 bytes). Text is
 * NUL-terminated UTF-8, cut at a character boundary to fit. */
typedef struct DiscoveredCamera {
  char label[160];          /* scope name and hardware, or the host */
  char host[64];            /* of the service address, without port */
  char serviceAddress[256]; /* the camera's ONVIF device service URL */
} DiscoveredCamera;

/* One H.264 media profile of a network camera (508 bytes). */
typedef struct CameraProfile {
  char name[96];
  char streamUri[400]; /* the RTSP address; "" when the camera gave none */
  int32_t width;
  int32_t height;
  int32_t frameRateLimit; /* frames per second */
} CameraProfile;

/* Probes the local network for ONVIF cameras for `timeoutMs` (3000 when
 * < 1) and fills up to `maxCount` records, one per host, in order of
 * arrival. Returns how many; 0 for a null array or a count < 1; -1 when no
 * UDP socket could be bound. Blocks the calling thread. */
PXO_API int32_t pxo_discover_network_cameras(DiscoveredCamera* cameras,
                                             int32_t maxCount,
                                             int32_t timeoutMs);

/* Asks the camera at `deviceServiceUrl` for its H.264 profiles with their
 * stream addresses, largest picture first, and fills up to `maxCount`
 * records. Returns how many; 0 when the camera has none; -1 on failure.
 * `user` and `password` may be null. The reason for 0 or -1 is written to
 * `error` (cut to `errorSize`) when it is given; "" on success. Blocks the
 * calling thread for a few requests. */
PXO_API int32_t pxo_enumerate_camera_profiles(const char* deviceServiceUrl,
                                              const char* user,
                                              const char* password,
                                              CameraProfile* profiles,
                                              int32_t maxCount,
                                              char* error,
                                              int32_t errorSize);

/* The scan window. Each call opens an independent window for the whole job
 * (connect to the controller, choose ports, aim, scan, review) and returns
 * at once. `callback` (may be null) is called exactly once when the window
 * goes: with the model file's path after "Add to Layout", with null when
 * the window was cancelled or closed; never on the calling thread. Null
 * strings are empty ones. An empty `controllerHost` leaves the host field
 * empty; a set one is connected to at once. An empty `modelName` names the
 * model "MappedModel"; an empty `dataFolder` keeps no raw scan data. */
typedef void (*pxo_scan_result_callback)(const char* modelPath, void* context);
PXO_API void pxo_present_scan_window(const char* cameraId,
                                     const char* dataFolder,
                                     pxo_scan_result_callback callback,
                                     void* context);
PXO_API void pxo_present_scan_window_host(const char* cameraId,
                                          const char* dataFolder,
                                          const char* controllerHost,
                                          const char* modelName,
                                          pxo_scan_result_callback callback,
                                          void* context);
PXO_API void pxo_present_scan_window_rtsp(const char* rtspUrl,
                                          const char* rtspUser,
                                          const char* rtspPassword,
                                          const char* dataFolder,
                                          pxo_scan_result_callback callback,
                                          void* context);
PXO_API void pxo_present_scan_window_rtsp_host(
    const char* rtspUrl,
    const char* rtspUser,
    const char* rtspPassword,
    const char* dataFolder,
    const char* controllerHost,
    const char* modelName,
    pxo_scan_result_callback callback,
    void* context);

#ifdef __cplusplus
}
#endif
