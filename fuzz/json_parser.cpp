// Any bytes as a JSON document: the parser must fail cleanly or produce a
// value whose text parses again to the same text; in every other style the
// text parses again too.

#include "json/json.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  pxo::JsonValue value;
  if (!pxo::parseJsonDocument(text, &value)) return 0;
  std::string written = pxo::toJsonText(value);
  pxo::JsonValue again;
  if (!pxo::parseJsonDocument(written, &again)) __builtin_trap();
  if (pxo::toJsonText(again) != written) __builtin_trap();
  pxo::JsonStyle style{true, true, true, "\t"};
  std::string styled;
  pxo::writeJson(value, style, &styled);
  if (!pxo::parseJsonDocument(styled, &again)) __builtin_trap();
  return 0;
}
