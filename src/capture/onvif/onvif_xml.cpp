#include "capture/onvif/onvif_xml.h"

#include "codec/xml_text.h"

#include <cstdint>

namespace pxo {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  return s;
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

}  // namespace pxo
