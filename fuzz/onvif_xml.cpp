// Any bytes as an ONVIF reply read with the XML text search: every element
// and attribute lookup stays inside the input and ends.

#include "capture/onvif/onvif_xml.h"

#include "codec/percent.h"
#include "codec/xml_text.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  for (const char* name : {"Profiles", "Uri", "XAddrs", "Media", "Text"}) {
    for (auto at = pxo::xmlFindElement(raw, name); at;
         at = pxo::xmlFindElement(raw, name, *at + 1)) {
      if (*at >= raw.size()) __builtin_trap();
      (void)pxo::xmlAttribute(raw, *at, "token");
      if (pxo::xmlElementText(raw, "Name", *at).size() > raw.size())
        __builtin_trap();
    }
  }
  if (pxo::xmlUnescape(raw).size() > raw.size()) __builtin_trap();
  if (pxo::percentDecode(raw).size() > raw.size()) __builtin_trap();
  return 0;
}
