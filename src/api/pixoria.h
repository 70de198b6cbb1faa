#pragma once

/* The C interface of libpixoria: the only symbols the library exports. */

#include <stdint.h>

#if defined(_WIN32)
#define PXO_API __declspec(dllexport)
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

#ifdef __cplusplus
}
#endif
