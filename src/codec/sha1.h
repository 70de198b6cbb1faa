#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace pxo {

// SHA-1 (FIPS 180-4) of a byte string: the 20-byte digest.
std::array<uint8_t, 20> sha1(std::string_view bytes);
// The digest as 40 lower-case hexadecimal digits.
std::string sha1Hex(std::string_view bytes);

}  // namespace pxo
