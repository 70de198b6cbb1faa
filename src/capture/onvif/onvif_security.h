#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace pxo {

// 16 random bytes from /dev/urandom; where that cannot be read, from a
// 64-bit linear congruential generator seeded with the time, a stack
// address and its own last state. Not for keys: for message IDs and nonces.
std::array<uint8_t, 16> randomBytes16();

// 16 random bytes as "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" (lower case).
std::string makeUuid();

// The WS-Security UsernameToken password digest:
// Base64(SHA-1(nonce ‖ created ‖ password)).
std::string passwordDigest(std::string_view nonce,
                           std::string_view created,
                           std::string_view password);

// The wsse:Security header for a SOAP 1.2 envelope whose prefix "s" is
// declared, with this nonce and creation time ("%Y-%m-%dT%H:%M:%SZ").
std::string securityHeaderWith(std::string_view user,
                               std::string_view password,
                               std::string_view nonce,
                               std::string_view created);

// The same with a fresh nonce and the time now; empty when both user and
// password are (a camera without credentials gets no header).
std::string makeSecurityHeader(std::string_view user,
                               std::string_view password);

}  // namespace pxo
