#include "api/pixoria.h"

extern "C" {

PXO_API int32_t pxo_scan_backend_status(void) { return 0; }

}  // extern "C"
