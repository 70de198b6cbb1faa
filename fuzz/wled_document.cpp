// Documents as a WLED controller's JSON API might serve them: read as each
// of its three documents, whatever was read stays within the bounds the
// scan relies on.

#include "controller/wled_device.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  pxo::WledDevice device;
  std::string error;
  (void)pxo::parseWledInfo(text, &device, &error);
  (void)pxo::parseWledConfig(text, &device, &error);
  (void)pxo::parseWledState(text, &device, &error);
  if (device.ledCount < 0 || device.ledCount > pxo::kMaxWledLeds ||
      device.outputs.size() > pxo::kMaxWledOutputs || device.brightness < 0 ||
      device.brightness > 255 || device.dmxStartAddress < 1 ||
      device.dmxStartAddress > 512)
    __builtin_trap();
  for (const pxo::WledOutput& output : device.outputs)
    if (output.start < 0 || output.length < 0 ||
        output.length > pxo::kMaxWledLeds)
      __builtin_trap();
  return 0;
}
