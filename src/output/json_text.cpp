#include "output/json_text.h"

#include <charconv>
#include <cmath>

namespace pxo {

std::string jsonInt(int64_t value) { return std::to_string(value); }

std::string jsonDouble(double value) {
  if (!std::isfinite(value)) return "null";
  constexpr double kTwo63 = 9223372036854775808.0;
  if (value >= -kTwo63 && value < kTwo63 && value == std::trunc(value))
    return std::to_string(static_cast<int64_t>(value));
  char buffer[64];
  auto written = std::to_chars(
      buffer, buffer + sizeof buffer, value, std::chars_format::general, 9);
  return std::string(buffer, written.ptr);
}

std::string jsonFloat(float value) {
  return jsonDouble(static_cast<double>(value));
}

std::string jsonBool(bool value) { return value ? "true" : "false"; }

std::string jsonString(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\f':
        out.append("\\f");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\t':
        out.append("\\t");
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out.append("\\u00");
          out.push_back(kHex[(c >> 4) & 0xF]);
          out.push_back(kHex[c & 0xF]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string jsonList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out.push_back(',');
    out.append(items[i]);
  }
  out.push_back(']');
  return out;
}

std::string jsonIntList(const std::vector<int32_t>& values) {
  std::vector<std::string> items;
  items.reserve(values.size());
  for (int32_t v : values) items.push_back(jsonInt(v));
  return jsonList(items);
}

std::string jsonDoubleList(const std::vector<double>& values) {
  std::vector<std::string> items;
  items.reserve(values.size());
  for (double v : values) items.push_back(jsonDouble(v));
  return jsonList(items);
}

std::string jsonPairList(
    const std::vector<std::pair<int32_t, int32_t>>& pairs) {
  std::vector<std::string> items;
  items.reserve(pairs.size());
  for (auto [a, b] : pairs)
    items.push_back("[" + jsonInt(a) + "," + jsonInt(b) + "]");
  return jsonList(items);
}

JsonObjectText& JsonObjectText::add(std::string_view key,
                                    const std::string& valueText) {
  if (text_.size() > 1) text_.push_back(',');
  text_.append(jsonString(key)).push_back(':');
  text_.append(valueText);
  return *this;
}

}  // namespace pxo
