#include "sim/fpp_quirks.h"

namespace pxo::sim {

std::string stripSlashes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out.push_back(text[i]);
      continue;
    }
    if (++i >= text.size()) break;
    out.push_back(text[i] == '0' ? '\0' : text[i]);
  }
  return out;
}

std::string phpJsonEncode(const JsonValue& value, bool pretty) {
  JsonStyle style;
  style.escapeSlash = true;
  style.asciiOnly = true;
  style.shortestNumbers = true;
  if (pretty) style.indent = "\t";
  std::string out;
  writeJson(value, style, &out);
  return out;
}

}  // namespace pxo::sim
