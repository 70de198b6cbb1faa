#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// MD5 (RFC 1321), for RTSP Digest authentication only: the camera's
// challenge fixes the algorithm, not us.

namespace pxo {

std::array<uint8_t, 16> md5(std::string_view bytes);
// The digest as 32 lower-case hexadecimal digits.
std::string md5Hex(std::string_view bytes);

}  // namespace pxo
