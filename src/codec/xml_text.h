#pragma once

// Text placed in an XML document and read back out of one: the model file
// we write, the SOAP requests and replies of network cameras. No parser;
// both directions are bounded by their input.

#include <string>
#include <string_view>

namespace pxo {

// "&", "<", ">", '"' and "'" as entities; every other byte as it stands.
std::string xmlEscape(std::string_view text);

// "&amp;", "&lt;", "&gt;", "&quot;", "&apos;" and numeric references
// decoded; anything else kept as it stands.
std::string xmlUnescape(std::string_view text);

}  // namespace pxo
