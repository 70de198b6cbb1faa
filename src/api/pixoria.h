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

#ifdef __cplusplus
}
#endif
