#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Compact JSON text built value by value, for documents written from
// records (the scan data, reports): no white space, members in the order
// they are added. Strings go through the module's one escaper and numbers
// use "." whatever the process locale; a double that is not finite is
// written as null.
//
//   JsonObjectText o;
//   o.add("frameCount", jsonInt(52)).add("elapsedSeconds", jsonDouble(0.1));
//   std::string text = o.text();   // {"frameCount":52,"elapsedSeconds":0.1}

namespace pxo {

std::string jsonInt(int64_t value);
// Whole values (that fit in 64 bits) as integers, others with 9 significant
// digits ("%.9g"); null when not finite.
std::string jsonDouble(double value);
std::string jsonFloat(float value);  // widened to double first
std::string jsonBool(bool value);
std::string jsonString(std::string_view text);
std::string jsonList(const std::vector<std::string>& items);
std::string jsonIntList(const std::vector<int32_t>& values);
std::string jsonDoubleList(const std::vector<double>& values);
std::string jsonPairList(const std::vector<std::pair<int32_t, int32_t>>& pairs);

class JsonObjectText {
 public:
  JsonObjectText& add(std::string_view key, const std::string& valueText);
  std::string text() const { return text_ + "}"; }

 private:
  std::string text_ = "{";
};

}  // namespace pxo
