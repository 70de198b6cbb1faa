/* A program built against the installed library, as a developer builds
   one: pkg-config or find_package(Pixoria). Prints the media back end's
   status and exits 0 when the library answered. */
#include <pixoria.h>
#include <stdio.h>

int main(void) {
  const int32_t status = pxo_scan_backend_status();
  printf("pxo_scan_backend_status: %d\n", (int)status);
  return status >= 0 ? 0 : 1;
}
