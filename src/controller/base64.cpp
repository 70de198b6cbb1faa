#include "controller/base64.h"

#include <cstdint>

namespace pxo {

std::string base64Encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t group = (uint32_t(uint8_t(bytes[i])) << 16) |
                     (uint32_t(uint8_t(bytes[i + 1])) << 8) |
                     uint32_t(uint8_t(bytes[i + 2]));
    out.push_back(kAlphabet[(group >> 18) & 63]);
    out.push_back(kAlphabet[(group >> 12) & 63]);
    out.push_back(kAlphabet[(group >> 6) & 63]);
    out.push_back(kAlphabet[group & 63]);
  }
  size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t group = uint32_t(uint8_t(bytes[i])) << 16;
    if (rest == 2) group |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    out.push_back(kAlphabet[(group >> 18) & 63]);
    out.push_back(kAlphabet[(group >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(group >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

}  // namespace pxo
