#include "capture/onvif/onvif_xml.h"

#include <cstdint>

namespace pxo {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  return s;
}

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
    const int v = hex ? hexValue(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
    if (v < 0) return std::nullopt;
    code = code * (hex ? 16 : 10) + static_cast<uint32_t>(v);
  }
  if (code == 0 || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
    return std::nullopt;
  return code;
}

}  // namespace

std::optional<size_t> xmlFindElement(std::string_view text,
                                     std::string_view localName,
                                     size_t start) {
  if (localName.empty()) return std::nullopt;
  for (size_t at = text.find(localName, start); at != std::string_view::npos;
       at = text.find(localName, at + 1)) {
    if (at == 0) continue;
    const char before = text[at - 1];
    if (before != '<' && before != ':') continue;
    const size_t end = at + localName.size();
    if (end >= text.size()) return std::nullopt;
    const char after = text[end];
    if (isSpace(after) || after == '/' || after == '>') return at;
  }
  return std::nullopt;
}

std::string xmlElementText(std::string_view text,
                           std::string_view localName,
                           size_t start) {
  for (auto at = xmlFindElement(text, localName, start); at;
       at = xmlFindElement(text, localName, *at + 1)) {
    const size_t close = text.find('>', *at);
    if (close == std::string_view::npos) return {};
    if (text[close - 1] == '/') continue;  // "<x/>": no content
    // The name of a closing tag: its element's text lies before it.
    const size_t open = text.rfind('<', *at);
    if (open != std::string_view::npos && open + 1 < text.size() &&
        text[open + 1] == '/')
      continue;
    const size_t from = close + 1;
    const size_t to = text.find("</", from);
    if (to == std::string_view::npos) return {};
    return xmlUnescape(trim(text.substr(from, to - from)));
  }
  return {};
}

std::string xmlAttribute(std::string_view text,
                         size_t position,
                         std::string_view name) {
  if (position >= text.size() || name.empty()) return {};
  const size_t end = text.find('>', position);
  const std::string_view tag = text.substr(
      position,
      end == std::string_view::npos ? text.size() - position : end - position);
  for (size_t at = tag.find(name); at != std::string_view::npos;
       at = tag.find(name, at + 1)) {
    const char before = at > 0 ? tag[at - 1] : '\0';
    if (!isSpace(before) && before != ':') continue;
    size_t p = at + name.size();
    while (p < tag.size() && isSpace(tag[p])) ++p;
    if (p >= tag.size() || tag[p] != '=') continue;
    ++p;
    while (p < tag.size() && isSpace(tag[p])) ++p;
    if (p >= tag.size() || (tag[p] != '"' && tag[p] != '\'')) continue;
    const char quote = tag[p];
    const size_t close = tag.find(quote, p + 1);
    if (close == std::string_view::npos) return {};
    return xmlUnescape(tag.substr(p + 1, close - p - 1));
  }
  return {};
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

std::string percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
        hexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 +
                                      hexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

}  // namespace pxo
