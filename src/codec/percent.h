#pragma once

// Percent-escapes (RFC 3986) as cameras put them in URLs: user names and
// passwords in RTSP addresses, the values of ONVIF scopes.

#include <string>
#include <string_view>

namespace pxo {

// "%" and two hexadecimal digits become that byte; anything else is kept.
std::string percentDecode(std::string_view text);

}  // namespace pxo
