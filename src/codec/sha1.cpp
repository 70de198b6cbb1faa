#include "codec/sha1.h"

#include <cstring>

namespace pxo {
namespace {

uint32_t rotateLeft(uint32_t value, int bits) {
  return (value << bits) | (value >> (32 - bits));
}

void compress(uint32_t state[5], const uint8_t block[64]) {
  uint32_t w[80];
  for (size_t i = 0; i < 16; ++i)
    w[i] = uint32_t{block[4 * i]} << 24 | uint32_t{block[4 * i + 1]} << 16 |
           uint32_t{block[4 * i + 2]} << 8 | uint32_t{block[4 * i + 3]};
  for (int i = 16; i < 80; ++i)
    w[i] = rotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  for (int i = 0; i < 80; ++i) {
    uint32_t f = 0, k = 0;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5a827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ed9eba1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8f1bbcdc;
    } else {
      f = b ^ c ^ d;
      k = 0xca62c1d6;
    }
    const uint32_t next = rotateLeft(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = rotateLeft(b, 30);
    b = a;
    a = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
}

}  // namespace

std::array<uint8_t, 20> sha1(std::string_view bytes) {
  uint32_t state[5] = {
      0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  size_t left = bytes.size();
  for (; left >= 64; left -= 64, data += 64) compress(state, data);
  // The last block(s): the rest, a 1 bit, zeros and the length in bits.
  uint8_t tail[128] = {};
  if (left > 0) std::memcpy(tail, data, left);
  tail[left] = 0x80;
  const size_t blocks = left + 9 > 64 ? 2 : 1;
  const uint64_t bits = uint64_t{bytes.size()} * 8;
  for (int i = 0; i < 8; ++i)
    tail[blocks * 64 - 1 - static_cast<size_t>(i)] =
        static_cast<uint8_t>(bits >> (8 * i));
  for (size_t b = 0; b < blocks; ++b) compress(state, tail + 64 * b);
  std::array<uint8_t, 20> digest{};
  for (size_t i = 0; i < 5; ++i)
    for (size_t j = 0; j < 4; ++j)
      digest[4 * i + j] = static_cast<uint8_t>(state[i] >> (24 - 8 * j));
  return digest;
}

std::string sha1Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(40);
  for (uint8_t byte : sha1(bytes)) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 15]);
  }
  return hex;
}

}  // namespace pxo
