#pragma once

// The text search the ONVIF replies are read with: no XML parser, namespace
// prefixes ignored. Every function is bounded by its input and never reads
// past it, whatever a camera sends.

#include <optional>
#include <string>
#include <string_view>

namespace pxo {

// The first occurrence of `localName` at or after `start` that is a tag's
// name: preceded by "<" or ":" and followed by white space, "/" or ">" (the
// name of a closing tag qualifies too). The position of the name.
std::optional<size_t> xmlFindElement(std::string_view text,
                                     std::string_view localName,
                                     size_t start = 0);

// The text of the first such element with content at or after `start`
// (an empty "<x/>" tag is passed over): from the end of its start tag to
// the next "</", entities decoded, leading and trailing white space
// trimmed. Empty when there is none.
std::string xmlElementText(std::string_view text,
                           std::string_view localName,
                           size_t start = 0);

// The value of attribute `name` (any prefix) in the tag whose name is at
// `position`, entities decoded; empty when the tag has none.
std::string xmlAttribute(std::string_view text,
                         size_t position,
                         std::string_view name);

}  // namespace pxo
