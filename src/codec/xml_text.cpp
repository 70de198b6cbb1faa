#include "codec/xml_text.h"

#include "codec/hex.h"

#include <cstdint>
#include <optional>

namespace pxo {
namespace {

void appendUtf8(uint32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xc0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xe0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
  } else {
    out->push_back(static_cast<char>(0xf0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
  }
}

// A numeric character reference's code ("#38", "#x26"); nullopt when it is
// not one or names no Unicode character.
std::optional<uint32_t> numericReference(std::string_view body) {
  if (body.size() < 2 || body[0] != '#') return std::nullopt;
  const bool hex = body[1] == 'x' || body[1] == 'X';
  std::string_view digits = body.substr(hex ? 2 : 1);
  if (digits.empty() || digits.size() > 8) return std::nullopt;
  uint32_t code = 0;
  for (char c : digits) {
    const int v =
        hex ? hexDigitValue(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
    if (v < 0) return std::nullopt;
    code = code * (hex ? 16 : 10) + static_cast<uint32_t>(v);
  }
  if (code == 0 || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
    return std::nullopt;
  return code;
}

}  // namespace

std::string xmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out.append("&amp;");
        break;
      case '<':
        out.append("&lt;");
        break;
      case '>':
        out.append("&gt;");
        break;
      case '"':
        out.append("&quot;");
        break;
      case '\'':
        out.append("&apos;");
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string xmlUnescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out.push_back(text[i]);
      continue;
    }
    const size_t semi = text.find(';', i + 1);
    if (semi == std::string_view::npos || semi - i > 12) {
      out.push_back('&');
      continue;
    }
    const std::string_view body = text.substr(i + 1, semi - i - 1);
    char named = 0;
    if (body == "amp")
      named = '&';
    else if (body == "lt")
      named = '<';
    else if (body == "gt")
      named = '>';
    else if (body == "quot")
      named = '"';
    else if (body == "apos")
      named = '\'';
    if (named) {
      out.push_back(named);
      i = semi;
    } else if (auto code = numericReference(body)) {
      appendUtf8(*code, &out);
      i = semi;
    } else {
      out.push_back('&');
    }
  }
  return out;
}

}  // namespace pxo
