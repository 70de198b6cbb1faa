#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// A small JSON value model with a recursive-descent parser over bytes and a
// compact writer, for the controller's documents. Texts are bytes: UTF-8
// passes through unchanged. Objects are ordered by byte-wise key comparison,
// so a document written back lists its keys sorted.
//
// Parsing is locale independent and bounded in nesting depth; a value is
// copied deeply and owns its elements. No shared state: any thread may parse
// or write its own values.
//
//   JsonValue doc;
//   if (parseJsonDocument(text, &doc) && doc.type == JsonType::kObject)
//     int count = getInt(doc, "outputCount", 0);

namespace pxo {

enum class JsonType : int32_t {
  kNull = 0,
  kBoolean = 1,
  kNumber = 2,
  kString = 3,
  kArray = 4,
  kObject = 5,
};

// Nesting deeper than this fails to parse instead of exhausting the stack.
inline constexpr int kMaxJsonDepth = 512;

struct JsonValue {
  JsonType type = JsonType::kNull;
  bool boolean = false;
  double number = 0.0;  // every number, integers included
  std::string string;
  std::vector<JsonValue> array;
  std::map<std::string, JsonValue> object;

  static JsonValue makeString(std::string text);
  static JsonValue makeNumber(double value);
  static JsonValue makeObject();
  static JsonValue makeArray();
  bool isObject() const { return type == JsonType::kObject; }
  bool isArray() const { return type == JsonType::kArray; }
};

// Where a nested parse is: the unread text.
struct JsonCursor {
  const char* at;
  const char* end;
};

// Skips white space, parses one value, skips white space; anything after
// that is ignored. False for malformed input (the value is then unusable).
[[nodiscard]] bool parseJsonDocument(std::string_view text, JsonValue* out);

// Parses one value at the cursor and advances it; `depth` counts the
// enclosing arrays and objects.
[[nodiscard]] bool parseJsonValue(JsonCursor* cursor,
                                  JsonValue* out,
                                  int depth = 0);

// Appends the compact text of `value`: integers without a fraction,
// other numbers as "%.17g", non-finite numbers as null, strings escaped
// only where JSON requires it (bytes of 128 and above and "/" unchanged).
void writeJson(const JsonValue& value, std::string* out);
std::string toJsonText(const JsonValue& value);

// The member `key` of an object; null when `value` is not an object or has
// no such member.
const JsonValue* findMember(const JsonValue& value, std::string_view key);
JsonValue* findMember(JsonValue& value, std::string_view key);

// A number member truncated toward zero (and clamped) to 32 bits, a boolean
// as 0 or 1; `fallback` for anything else.
int32_t getInt(const JsonValue& value, std::string_view key, int32_t fallback);
// The same conversion of a value itself.
int32_t jsonToInt(const JsonValue& value, int32_t fallback);
// A string member, or `fallback` for a missing or non-string member.
std::string getString(const JsonValue& value,
                      std::string_view key,
                      std::string_view fallback);

// Insert or replace a member (the value becomes an object when it was not).
void setNumber(JsonValue& object, std::string_view key, double number);
void setString(JsonValue& object, std::string_view key, std::string text);

}  // namespace pxo
