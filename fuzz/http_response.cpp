// Any bytes as a received HTTP answer, and as a chunked body.

#include "controller/http_client.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view raw(reinterpret_cast<const char*>(data), size);
  pxo::HttpResponse response;
  pxo::parseHttpResponse(raw, &response);
  if (!response.ok && (response.status != 0 || !response.body.empty()))
    __builtin_trap();
  if (response.body.size() > raw.size()) __builtin_trap();
  if (pxo::dechunkHttpBody(raw).size() > raw.size()) __builtin_trap();
  return 0;
}
