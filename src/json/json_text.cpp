#include "json/json_text.h"

#include "json/json.h"

namespace pxo {

std::string jsonInt(int64_t value) { return std::to_string(value); }

std::string jsonDouble(double value) {
  std::string out;
  appendJsonNumber(value, 9, &out);
  return out;
}

std::string jsonFloat(float value) {
  return jsonDouble(static_cast<double>(value));
}

std::string jsonBool(bool value) { return value ? "true" : "false"; }

std::string jsonString(std::string_view text) {
  std::string out;
  appendJsonString(text, &out);
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
  for (auto [a, b] : pairs) {
    std::string item = "[";
    item.append(jsonInt(a)).append(",").append(jsonInt(b)).append("]");
    items.push_back(std::move(item));
  }
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
