// Any bytes as a camera's reply to each ONVIF request: discovery answers,
// capabilities, profiles and faults are read without reading past the
// reply, and what comes out is drawn from it.

#include "capture/onvif/onvif_client.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  if (auto camera = pxo::readProbeMatch(raw)) {
    if (camera->host.empty() || camera->serviceAddress.size() > size)
      __builtin_trap();
  }
  if (auto media = pxo::mediaAddressIn(raw)) {
    if (media->empty() || media->size() > size) __builtin_trap();
  }
  for (const pxo::OnvifProfile& profile : pxo::h264ProfilesIn(raw)) {
    if (profile.name.size() > size || profile.token.size() > size)
      __builtin_trap();
  }
  if (pxo::soapFaultText(raw).size() > size) __builtin_trap();
  return 0;
}
