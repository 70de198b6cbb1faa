#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The one JSON module: a small value model with a recursive-descent parser
// over bytes, a compact writer, member lookups, and the escaper every other
// JSON text of the product goes through (json_text.h builds on it).
//
// Texts are bytes: UTF-8 passes through unchanged. Objects keep their
// members in the order they were read or added, so a document read and
// written back lists its keys as it had them; a key read twice keeps its
// first place and its last value.
//
// Parsing is locale independent and bounded in nesting depth; a value is
// copied deeply and owns its elements. No shared state: any thread may parse
// or write its own values.
//
//   JsonValue doc;
//   if (parseJsonDocument(text, &doc) && doc.isObject())
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

struct JsonValue;
struct JsonMember;

// An object's members in insertion order. Lookups compare keys byte-wise
// and walk the members; documents of the controller and the scan data have
// tens of keys per object, not thousands.
class JsonObject {
 public:
  using iterator = std::vector<JsonMember>::iterator;
  using const_iterator = std::vector<JsonMember>::const_iterator;

  // The value of `key`, or null when there is none.
  const JsonValue* find(std::string_view key) const;
  JsonValue* find(std::string_view key);
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  // The value of `key`, which must be there (std::out_of_range otherwise).
  const JsonValue& at(std::string_view key) const;
  // The value of `key`; a null member is appended when there is none.
  JsonValue& operator[](std::string_view key);
  // Replaces the value of `key` in its place, or appends the member.
  JsonValue& set(std::string_view key, JsonValue value);
  // Removes `key`; false when there was none.
  bool erase(std::string_view key);
  // Appends a member whose key the caller knows is not there yet.
  JsonValue& append(std::string key, JsonValue value);

  bool empty() const;
  size_t size() const;
  size_t capacity() const;
  void reserve(size_t count);
  iterator begin();
  iterator end();
  const_iterator begin() const;
  const_iterator end() const;

 private:
  std::vector<JsonMember> members_;
};

struct JsonValue {
  JsonType type = JsonType::kNull;
  bool boolean = false;
  double number = 0.0;  // every number, integers included
  // The number as the parsed text wrote it ("1.0", "2e3"), written back in
  // its place so that a document read and written again keeps its bytes;
  // empty for numbers made in code. Change `number` only through
  // makeNumber or setNumber, which clear it.
  std::string numberText;
  std::string string;
  std::vector<JsonValue> array;
  JsonObject object;

  static JsonValue makeString(std::string text);
  static JsonValue makeNumber(double value);
  static JsonValue makeObject();
  static JsonValue makeArray();
  bool isObject() const { return type == JsonType::kObject; }
  bool isArray() const { return type == JsonType::kArray; }
};

struct JsonMember {
  std::string key;
  JsonValue value;
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

// Appends the compact text of `value`: members in their order, numbers as
// they were read (or, made in code, integers without a fraction and others
// with 17 significant digits), non-finite numbers as null, strings through
// appendJsonString.
void writeJson(const JsonValue& value, std::string* out);
std::string toJsonText(const JsonValue& value);

// How a JSON text is laid out beyond the compact defaults above: other
// writers' habits that peers send and our tests must reproduce (the
// simulated controller writes its documents as the real one's PHP layer
// does).
struct JsonStyle {
  // "/" as "\/".
  bool escapeSlash = false;
  // Every character above U+007F as "\uXXXX": a surrogate pair above
  // U+FFFF, U+FFFD for a byte that starts no valid UTF-8 sequence.
  bool asciiOnly = false;
  // Numbers written from their value rather than as they were read: whole
  // ones below 9e15 as integers, others as their shortest round-trip text.
  bool shortestNumbers = false;
  // Not empty: each element and member on a line of its own, indented by
  // this once per level, with ": " after each key.
  std::string_view indent;
};
void writeJson(const JsonValue& value,
               const JsonStyle& style,
               std::string* out);

// The escaper: `text` in double quotes with '"', '\\', \b \f \n \r \t and
// the other bytes below 0x20 (as \u00XX) escaped; bytes of 128 and above
// and "/" unchanged.
void appendJsonString(std::string_view text, std::string* out);

// A number as JSON text: whole values that fit in 64 bits as integers,
// others with `significantDigits` digits in the shortest of fixed and
// scientific form, "." as the decimal point whatever the locale; null when
// not finite.
void appendJsonNumber(double value, int significantDigits, std::string* out);

// The member `key` of an object; null when `value` is not an object or has
// no such member.
const JsonValue* findMember(const JsonValue& value, std::string_view key);
JsonValue* findMember(JsonValue& value, std::string_view key);

// A number member truncated toward zero (and clamped) to 32 bits, a boolean
// as 0 or 1; `fallback` for anything else.
int32_t getInt(const JsonValue& value, std::string_view key, int32_t fallback);
// The same conversion of a value itself.
int32_t jsonToInt(const JsonValue& value, int32_t fallback);
// A number member; `fallback` for a missing or non-number member.
double getNumber(const JsonValue& value, std::string_view key, double fallback);
// A string member, or `fallback` for a missing or non-string member.
std::string getString(const JsonValue& value,
                      std::string_view key,
                      std::string_view fallback);

// Insert or replace a member (the value becomes an object when it was not).
void setNumber(JsonValue& object, std::string_view key, double number);
void setString(JsonValue& object, std::string_view key, std::string text);

}  // namespace pxo
