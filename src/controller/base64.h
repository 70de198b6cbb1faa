#pragma once

#include <string>
#include <string_view>

namespace pxo {

// Standard Base64 (RFC 4648 alphabet, "=" padding).
std::string base64Encode(std::string_view bytes);

}  // namespace pxo
