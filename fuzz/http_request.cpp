// Any bytes as the head of a request reaching the simulated controller.

#include "sim/http_server.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view head(reinterpret_cast<const char*>(data), size);
  pxo::sim::HttpRequest request;
  if (pxo::sim::parseHttpRequestHead(head, &request) &&
      (request.method.empty() || request.path.empty()))
    __builtin_trap();
  return 0;
}
