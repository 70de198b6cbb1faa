#include "json/json.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace pxo {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void skipSpace(JsonCursor* cursor) {
  while (cursor->at < cursor->end && isSpace(*cursor->at)) ++cursor->at;
}

bool startsWith(const JsonCursor& cursor, std::string_view word) {
  return static_cast<size_t>(cursor.end - cursor.at) >= word.size() &&
         std::memcmp(cursor.at, word.data(), word.size()) == 0;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four bytes after "\u", read as hexadecimal up to the first byte that
// is not a hex digit.
uint32_t readHex4(const char* at) {
  uint32_t code = 0;
  for (int i = 0; i < 4; ++i) {
    int digit = hexValue(at[i]);
    if (digit < 0) break;
    code = code * 16 + static_cast<uint32_t>(digit);
  }
  return code;
}

void appendUtf8(uint32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

bool parseString(JsonCursor* cursor, std::string* out) {
  ++cursor->at;  // opening quote
  out->clear();
  while (cursor->at < cursor->end) {
    char c = *cursor->at++;
    if (c == '"') return true;
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (cursor->at >= cursor->end) return false;
    char e = *cursor->at++;
    switch (e) {
      case 'b':
        out->push_back('\b');
        break;
      case 'f':
        out->push_back('\f');
        break;
      case 'n':
        out->push_back('\n');
        break;
      case 'r':
        out->push_back('\r');
        break;
      case 't':
        out->push_back('\t');
        break;
      case 'u': {
        if (cursor->end - cursor->at < 4) return false;
        uint32_t code = readHex4(cursor->at);
        cursor->at += 4;
        // A high surrogate followed by an escaped low one is one character;
        // writing the halves separately would not be UTF-8.
        if (code >= 0xD800 && code <= 0xDBFF && cursor->end - cursor->at >= 6 &&
            cursor->at[0] == '\\' && cursor->at[1] == 'u') {
          uint32_t low = readHex4(cursor->at + 2);
          if (low >= 0xDC00 && low <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            cursor->at += 6;
          }
        }
        appendUtf8(code, out);
        break;
      }
      default:
        out->push_back(e);
        break;  // '"', '/', '\\' and any other
    }
  }
  return false;
}

bool isNumberByte(char c) {
  return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' ||
         c == 'e' || c == 'E';
}

// The C library's strtod on `run` in the "C" locale: the longest prefix
// that forms a number, 0 when none does, ±infinity on overflow, 0 on
// underflow.
double convertNumber(std::string_view run) {
  const char* first = run.data();
  const char* last = first + run.size();
  bool negative = false;
  if (first < last && (*first == '+' || *first == '-')) {
    negative = *first == '-';
    ++first;
  }
  if (first < last && (*first == '+' || *first == '-')) return 0.0;
  double value = 0.0;
  auto [end, ec] =
      std::from_chars(first, last, value, std::chars_format::general);
  if (ec == std::errc::invalid_argument) return 0.0;
  if (ec == std::errc::result_out_of_range) {
    // Overflow or underflow: the decimal exponent of the leading significant
    // digit tells which.
    int64_t lead = 0;
    int integerDigits = 0, fractionZeros = 0;
    bool inFraction = false, significant = false;
    const char* p = first;
    for (; p < end && *p != 'e' && *p != 'E'; ++p) {
      if (*p == '.') {
        inFraction = true;
      } else if (!inFraction) {
        if (integerDigits > 0 || *p != '0') ++integerDigits;
      } else if (integerDigits == 0 && !significant) {
        if (*p == '0')
          ++fractionZeros;
        else
          significant = true;
      }
    }
    lead = integerDigits > 0 ? integerDigits - 1 : -(fractionZeros + 1L);
    if (p < end) {
      const char* digits = p + 1;
      bool negativeExponent = *digits == '-';
      if (*digits == '+' || *digits == '-') ++digits;
      int64_t written = 0;
      auto parsed = std::from_chars(digits, end, written);
      // Any exponent this large already decides it; capped, adding the
      // digit counts cannot overflow.
      constexpr int64_t kExponentCap = 1'000'000'000'000;
      if (parsed.ec == std::errc::result_out_of_range || written > kExponentCap)
        written = kExponentCap;
      lead = negativeExponent ? lead - written : lead + written;
    }
    value = lead > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return negative ? -value : value;
}

// True for a number as JSON's grammar writes it:
// -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool isJsonNumberText(std::string_view text) {
  size_t i = 0;
  auto digits = [&] {
    size_t begin = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i - begin;
  };
  if (i < text.size() && text[i] == '-') ++i;
  if (i < text.size() && text[i] == '0') {
    ++i;
  } else if (digits() == 0) {
    return false;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    if (digits() == 0) return false;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == text.size();
}

bool parseNumber(JsonCursor* cursor, JsonValue* out) {
  const char* start = cursor->at;
  while (cursor->at < cursor->end && isNumberByte(*cursor->at)) ++cursor->at;
  if (cursor->at == start) return false;
  const std::string_view run(start, static_cast<size_t>(cursor->at - start));
  out->type = JsonType::kNumber;
  out->number = convertNumber(run);
  // Only text that reads back as the same finite number is kept.
  if (std::isfinite(out->number) && isJsonNumberText(run))
    out->numberText.assign(run);
  return true;
}

bool parseArray(JsonCursor* cursor, JsonValue* out, int depth) {
  ++cursor->at;  // '['
  out->type = JsonType::kArray;
  skipSpace(cursor);
  if (cursor->at < cursor->end && *cursor->at == ']') {
    ++cursor->at;
    return true;
  }
  for (;;) {
    out->array.emplace_back();
    if (!parseJsonValue(cursor, &out->array.back(), depth + 1)) return false;
    skipSpace(cursor);
    if (cursor->at >= cursor->end) return false;
    char c = *cursor->at++;
    if (c == ']') return true;
    if (c != ',') return false;
  }
}

// Objects up to this many members find repeated keys by walking them;
// larger ones index their keys so that a huge object parses in linear time.
constexpr size_t kIndexedObjectSize = 16;

bool parseObject(JsonCursor* cursor, JsonValue* out, int depth) {
  ++cursor->at;  // '{'
  out->type = JsonType::kObject;
  skipSpace(cursor);
  if (cursor->at < cursor->end && *cursor->at == '}') {
    ++cursor->at;
    return true;
  }
  std::string key;
  std::unordered_map<std::string, JsonValue*> index;
  for (;;) {
    skipSpace(cursor);
    if (cursor->at >= cursor->end || *cursor->at != '"') return false;
    if (!parseString(cursor, &key)) return false;
    skipSpace(cursor);
    if (cursor->at >= cursor->end || *cursor->at != ':') return false;
    ++cursor->at;
    JsonValue member;
    if (!parseJsonValue(cursor, &member, depth + 1)) return false;
    JsonObject& object = out->object;
    if (object.size() < kIndexedObjectSize) {
      object.set(key, std::move(member));
    } else {
      if (index.empty())
        for (JsonMember& m : object) index.emplace(m.key, &m.value);
      auto found = index.find(key);
      if (found != index.end()) {
        *found->second = std::move(member);
      } else {
        // Appending may move the members; index the new places.
        const bool moves = object.size() == object.capacity();
        JsonValue& added = object.append(key, std::move(member));
        if (moves) {
          index.clear();
          for (JsonMember& m : object) index.emplace(m.key, &m.value);
        } else {
          index.emplace(key, &added);
        }
      }
    }
    skipSpace(cursor);
    if (cursor->at >= cursor->end) return false;
    char c = *cursor->at++;
    if (c == '}') return true;
    if (c != ',') return false;
  }
}

// Decodes one UTF-8 sequence at `at` and moves past it; a byte that starts
// no valid sequence comes back as U+FFFD and is passed alone.
uint32_t nextCodePoint(std::string_view text, size_t* at) {
  auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(*at);
  const int extra = lead < 0x80         ? 0
                    : (lead >> 5) == 6  ? 1
                    : (lead >> 4) == 14 ? 2
                    : (lead >> 3) == 30 ? 3
                                        : -1;
  if (extra < 0 || *at + static_cast<size_t>(extra) >= text.size()) {
    ++*at;
    return 0xFFFD;
  }
  uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
  for (int i = 1; i <= extra; ++i) {
    if ((byte(*at + i) & 0xC0) != 0x80) {
      ++*at;
      return 0xFFFD;
    }
    code = (code << 6) | (byte(*at + i) & 0x3F);
  }
  *at += static_cast<size_t>(extra) + 1;
  return code;
}

void appendUnicodeEscape(uint32_t unit, std::string* out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out->append("\\u");
  for (int shift = 12; shift >= 0; shift -= 4)
    out->push_back(kHex[(unit >> shift) & 0xF]);
}

void appendCodePointEscape(uint32_t code, std::string* out) {
  if (code < 0x10000) {
    appendUnicodeEscape(code, out);
    return;
  }
  code -= 0x10000;
  appendUnicodeEscape(0xD800 + (code >> 10), out);
  appendUnicodeEscape(0xDC00 + (code & 0x3FF), out);
}

void appendStyledString(std::string_view text,
                        const JsonStyle& style,
                        std::string* out) {
  out->push_back('"');
  for (size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (c >= 0x80 && style.asciiOnly) {
      appendCodePointEscape(nextCodePoint(text, &at), out);
      continue;
    }
    ++at;
    switch (c) {
      case '"':
        out->append("\\\"");
        break;
      case '\\':
        out->append("\\\\");
        break;
      case '/':
        out->append(style.escapeSlash ? "\\/" : "/");
        break;
      case '\b':
        out->append("\\b");
        break;
      case '\f':
        out->append("\\f");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      case '\t':
        out->append("\\t");
        break;
      default:
        if (c < 0x20)
          appendUnicodeEscape(c, out);
        else
          out->push_back(static_cast<char>(c));
    }
  }
  out->push_back('"');
}

void appendStyledNumber(const JsonValue& value,
                        const JsonStyle& style,
                        std::string* out) {
  const double v = value.number;
  if (!style.shortestNumbers) {
    if (!value.numberText.empty())
      out->append(value.numberText);
    else
      appendJsonNumber(v, 17, out);
    return;
  }
  if (!std::isfinite(v)) {
    out->append("null");
    return;
  }
  char buffer[32];
  const auto written =
      v == std::trunc(v) && std::fabs(v) < 9e15
          ? std::to_chars(
                buffer, buffer + sizeof buffer, static_cast<long long>(v))
          : std::to_chars(buffer, buffer + sizeof buffer, v);
  out->append(buffer, written.ptr);
}

void writeStyled(const JsonValue& value,
                 const JsonStyle& style,
                 int depth,
                 std::string* out) {
  auto newline = [&](int level) {
    if (style.indent.empty()) return;
    out->push_back('\n');
    for (int i = 0; i < level; ++i) out->append(style.indent);
  };
  switch (value.type) {
    case JsonType::kNull:
      out->append("null");
      break;
    case JsonType::kBoolean:
      out->append(value.boolean ? "true" : "false");
      break;
    case JsonType::kNumber:
      appendStyledNumber(value, style, out);
      break;
    case JsonType::kString:
      appendStyledString(value.string, style, out);
      break;
    case JsonType::kArray: {
      out->push_back('[');
      for (size_t i = 0; i < value.array.size(); ++i) {
        if (i) out->push_back(',');
        newline(depth + 1);
        writeStyled(value.array[i], style, depth + 1, out);
      }
      if (!value.array.empty()) newline(depth);
      out->push_back(']');
      break;
    }
    case JsonType::kObject: {
      out->push_back('{');
      bool first = true;
      for (const auto& [key, member] : value.object) {
        if (!first) out->push_back(',');
        first = false;
        newline(depth + 1);
        appendStyledString(key, style, out);
        out->append(style.indent.empty() ? ":" : ": ");
        writeStyled(member, style, depth + 1, out);
      }
      if (!value.object.empty()) newline(depth);
      out->push_back('}');
      break;
    }
  }
}

}  // namespace

void appendJsonString(std::string_view text, std::string* out) {
  appendStyledString(text, JsonStyle{}, out);
}

void appendJsonNumber(double value, int significantDigits, std::string* out) {
  if (!std::isfinite(value)) {
    out->append("null");
    return;
  }
  char buffer[64];
  constexpr double kTwo63 = 9223372036854775808.0;
  std::to_chars_result written;
  if (value == std::trunc(value) && value >= -kTwo63 && value < kTwo63)
    written = std::to_chars(
        buffer, buffer + sizeof buffer, static_cast<long long>(value));
  else
    written = std::to_chars(buffer,
                            buffer + sizeof buffer,
                            value,
                            std::chars_format::general,
                            significantDigits);
  out->append(buffer, written.ptr);
}

const JsonValue* JsonObject::find(std::string_view key) const {
  for (const JsonMember& m : members_)
    if (m.key == key) return &m.value;
  return nullptr;
}

JsonValue* JsonObject::find(std::string_view key) {
  return const_cast<JsonValue*>(std::as_const(*this).find(key));
}

const JsonValue& JsonObject::at(std::string_view key) const {
  if (const JsonValue* value = find(key)) return *value;
  throw std::out_of_range("no JSON member " + std::string(key));
}

JsonValue& JsonObject::operator[](std::string_view key) {
  if (JsonValue* value = find(key)) return *value;
  return append(std::string(key), JsonValue{});
}

JsonValue& JsonObject::set(std::string_view key, JsonValue value) {
  if (JsonValue* existing = find(key)) {
    *existing = std::move(value);
    return *existing;
  }
  return append(std::string(key), std::move(value));
}

JsonValue& JsonObject::append(std::string key, JsonValue value) {
  members_.push_back(JsonMember{std::move(key), std::move(value)});
  return members_.back().value;
}

bool JsonObject::erase(std::string_view key) {
  for (auto it = members_.begin(); it != members_.end(); ++it)
    if (it->key == key) {
      members_.erase(it);
      return true;
    }
  return false;
}

bool JsonObject::empty() const { return members_.empty(); }
size_t JsonObject::size() const { return members_.size(); }
size_t JsonObject::capacity() const { return members_.capacity(); }
void JsonObject::reserve(size_t count) { members_.reserve(count); }
JsonObject::iterator JsonObject::begin() { return members_.begin(); }
JsonObject::iterator JsonObject::end() { return members_.end(); }
JsonObject::const_iterator JsonObject::begin() const {
  return members_.begin();
}
JsonObject::const_iterator JsonObject::end() const { return members_.end(); }

JsonValue JsonValue::makeString(std::string text) {
  JsonValue value;
  value.type = JsonType::kString;
  value.string = std::move(text);
  return value;
}

JsonValue JsonValue::makeNumber(double number) {
  JsonValue value;
  value.type = JsonType::kNumber;
  value.number = number;
  return value;
}

JsonValue JsonValue::makeObject() {
  JsonValue value;
  value.type = JsonType::kObject;
  return value;
}

JsonValue JsonValue::makeArray() {
  JsonValue value;
  value.type = JsonType::kArray;
  return value;
}

bool parseJsonDocument(std::string_view text, JsonValue* out) {
  *out = JsonValue{};
  JsonCursor cursor{text.data(), text.data() + text.size()};
  if (!parseJsonValue(&cursor, out, 0)) return false;
  skipSpace(&cursor);
  return true;
}

bool parseJsonValue(JsonCursor* cursor, JsonValue* out, int depth) {
  skipSpace(cursor);
  if (cursor->at >= cursor->end) return parseNumber(cursor, out);
  switch (*cursor->at) {
    case '"':
      out->type = JsonType::kString;
      return parseString(cursor, &out->string);
    case '[':
      return depth < kMaxJsonDepth && parseArray(cursor, out, depth);
    case '{':
      return depth < kMaxJsonDepth && parseObject(cursor, out, depth);
    case 't':
    case 'f': {
      bool isTrue = startsWith(*cursor, "true");
      if (!isTrue && !startsWith(*cursor, "false")) return false;
      out->type = JsonType::kBoolean;
      out->boolean = isTrue;
      cursor->at += isTrue ? 4 : 5;
      return true;
    }
    case 'n':
      if (!startsWith(*cursor, "null")) return false;
      out->type = JsonType::kNull;
      cursor->at += 4;
      return true;
    default:
      return parseNumber(cursor, out);
  }
}

void writeJson(const JsonValue& value, std::string* out) {
  writeStyled(value, JsonStyle{}, 0, out);
}

void writeJson(const JsonValue& value,
               const JsonStyle& style,
               std::string* out) {
  writeStyled(value, style, 0, out);
}

std::string toJsonText(const JsonValue& value) {
  std::string text;
  writeJson(value, &text);
  return text;
}

const JsonValue* findMember(const JsonValue& value, std::string_view key) {
  if (value.type != JsonType::kObject) return nullptr;
  return value.object.find(key);
}

JsonValue* findMember(JsonValue& value, std::string_view key) {
  return const_cast<JsonValue*>(
      findMember(static_cast<const JsonValue&>(value), key));
}

int32_t jsonToInt(const JsonValue& value, int32_t fallback) {
  if (value.type == JsonType::kBoolean) return value.boolean ? 1 : 0;
  if (value.type != JsonType::kNumber || std::isnan(value.number))
    return fallback;
  double truncated = std::trunc(value.number);
  if (truncated <= std::numeric_limits<int32_t>::min())
    return std::numeric_limits<int32_t>::min();
  if (truncated >= std::numeric_limits<int32_t>::max())
    return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(truncated);
}

int32_t getInt(const JsonValue& value, std::string_view key, int32_t fallback) {
  const JsonValue* member = findMember(value, key);
  return member ? jsonToInt(*member, fallback) : fallback;
}

double getNumber(const JsonValue& value,
                 std::string_view key,
                 double fallback) {
  const JsonValue* member = findMember(value, key);
  if (!member || member->type != JsonType::kNumber) return fallback;
  return member->number;
}

std::string getString(const JsonValue& value,
                      std::string_view key,
                      std::string_view fallback) {
  const JsonValue* member = findMember(value, key);
  if (!member || member->type != JsonType::kString)
    return std::string(fallback);
  return member->string;
}

void setNumber(JsonValue& object, std::string_view key, double number) {
  if (object.type != JsonType::kObject) object = JsonValue::makeObject();
  object.object.set(key, JsonValue::makeNumber(number));
}

void setString(JsonValue& object, std::string_view key, std::string text) {
  if (object.type != JsonType::kObject) object = JsonValue::makeObject();
  object.object.set(key, JsonValue::makeString(std::move(text)));
}

}  // namespace pxo
