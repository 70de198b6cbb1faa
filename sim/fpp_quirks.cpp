#include "sim/fpp_quirks.h"

#include <charconv>
#include <cmath>

namespace pxo::sim {

namespace {

// Decodes one UTF-8 sequence at `at`; invalid bytes come back as U+FFFD.
uint32_t nextCodePoint(std::string_view text, size_t* at) {
  auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  uint8_t lead = byte(*at);
  int extra = lead < 0x80         ? 0
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
    if (*at + i >= text.size() || (byte(*at + i) & 0xC0) != 0x80) {
      ++*at;
      return 0xFFFD;
    }
    code = (code << 6) | (byte(*at + i) & 0x3F);
  }
  *at += static_cast<size_t>(extra) + 1;
  return code;
}

void appendEscape(std::string* out, uint32_t unit) {
  static constexpr char kHex[] = "0123456789abcdef";
  out->append("\\u");
  for (int shift = 12; shift >= 0; shift -= 4)
    out->push_back(kHex[(unit >> shift) & 0xF]);
}

void encodeString(std::string_view text, std::string* out) {
  out->push_back('"');
  for (size_t at = 0; at < text.size();) {
    auto c = static_cast<unsigned char>(text[at]);
    if (c >= 0x80) {
      uint32_t code = nextCodePoint(text, &at);
      if (code >= 0x10000) {
        code -= 0x10000;
        appendEscape(out, 0xD800 + (code >> 10));
        appendEscape(out, 0xDC00 + (code & 0x3FF));
      } else {
        appendEscape(out, code);
      }
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
        out->append("\\/");
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
          appendEscape(out, c);
        else
          out->push_back(static_cast<char>(c));
    }
  }
  out->push_back('"');
}

void encode(const JsonValue& value, bool pretty, int depth, std::string* out) {
  auto newline = [&](int level) {
    if (!pretty) return;
    out->push_back('\n');
    out->append(static_cast<size_t>(level), '\t');
  };
  switch (value.type) {
    case JsonType::kNull:
      out->append("null");
      break;
    case JsonType::kBoolean:
      out->append(value.boolean ? "true" : "false");
      break;
    case JsonType::kNumber: {
      char buffer[32];
      double v = value.number;
      auto written =
          std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 9e15
              ? std::to_chars(
                    buffer, buffer + sizeof buffer, static_cast<long long>(v))
              : std::to_chars(buffer, buffer + sizeof buffer, v);
      out->append(buffer, written.ptr);
      break;
    }
    case JsonType::kString:
      encodeString(value.string, out);
      break;
    case JsonType::kArray: {
      out->push_back('[');
      for (size_t i = 0; i < value.array.size(); ++i) {
        if (i) out->push_back(',');
        newline(depth + 1);
        encode(value.array[i], pretty, depth + 1, out);
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
        encodeString(key, out);
        out->append(pretty ? ": " : ":");
        encode(member, pretty, depth + 1, out);
      }
      if (!value.object.empty()) newline(depth);
      out->push_back('}');
      break;
    }
  }
}

}  // namespace

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
  std::string out;
  encode(value, pretty, 0, &out);
  return out;
}

}  // namespace pxo::sim
