#pragma once

#include <string>
#include <string_view>

namespace pxo {

// Standard Base64 (RFC 4648 alphabet, "=" padding).
std::string base64Encode(std::string_view bytes);

// Decodes standard Base64. White space is skipped; "=" ends the data.
// False for any other character outside the alphabet or a dangling
// sixth bit group.
[[nodiscard]] bool base64Decode(std::string_view text, std::string* bytes);

}  // namespace pxo
