// The small encodings every module shares, against their standards' own
// test vectors.

#include "codec/base64.h"
#include "codec/md5.h"
#include "codec/percent.h"
#include "codec/sha1.h"
#include "codec/xml_text.h"

#include <array>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace pxo {
namespace {

std::string hex(const std::array<uint8_t, 20>& digest) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : digest) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

// RFC 4648 section 10, both ways.
TEST(Base64, Rfc4648Vectors) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(base64Encode(plain), encoded);
    std::string bytes = "left over";
    ASSERT_TRUE(base64Decode(encoded, &bytes)) << encoded;
    EXPECT_EQ(bytes, plain);
  }
}

TEST(Base64, DecodesParameterSetsAndRefusesJunk) {
  std::string bytes;
  ASSERT_TRUE(base64Decode("aM48gA==", &bytes));
  EXPECT_EQ(bytes, std::string("\x68\xce\x3c\x80", 4));
  ASSERT_TRUE(base64Decode(" Zm9v\r\nYmFy ", &bytes));
  EXPECT_EQ(bytes, "foobar");
  EXPECT_FALSE(base64Decode("ab*c", &bytes));
  EXPECT_FALSE(base64Decode("a", &bytes));  // six bits cannot end it
}

TEST(Md5, Rfc1321Suite) {
  EXPECT_EQ(md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(md5Hex("abcdefghijklmnopqrstuvwxyz"),
            "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                   "0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(md5Hex("1234567890123456789012345678901234567890123456789012345678"
                   "9012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

// FIPS 180 examples, and lengths either side of a block's last 9 bytes.
TEST(Sha1, KnownDigests) {
  EXPECT_EQ(hex(sha1("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(hex(sha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(
      hex(sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
      "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(hex(sha1(std::string(1000000, 'a'))),
            "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  EXPECT_EQ(hex(sha1(std::string(55, 'a'))),
            "c1c8bbdc22796e28c0e15163d20899b65621d65a");
  EXPECT_EQ(hex(sha1(std::string(56, 'a'))),
            "c2db330f6083854c99d4b5bfb6e8f29f201be699");
  EXPECT_EQ(hex(sha1(std::string(64, 'a'))),
            "0098ba824b5c16427bd7a1122a5a442a25ec644d");
}

TEST(XmlText, FiveEntitiesOutAndReferencesIn) {
  EXPECT_EQ(xmlEscape("a&b<c>d\"e'f\x01\xC3\xA4"),
            "a&amp;b&lt;c&gt;d&quot;e&apos;f\x01\xC3\xA4");
  EXPECT_EQ(xmlUnescape("a&lt;b&gt;&quot;&apos;&#38;&#x41;&#233;&bogus;&"),
            "a<b>\"'&A\xC3\xA9&bogus;&");
  EXPECT_EQ(xmlUnescape("&#x1F384;"), "\xF0\x9F\x8E\x84");
  // No character, a lone surrogate, too many digits: kept as they stand.
  EXPECT_EQ(xmlUnescape("&#0;&#xD800;&#99999999999;"),
            "&#0;&#xD800;&#99999999999;");
  const std::string awkward = "<a href=\"x\">&'&amp;";
  EXPECT_EQ(xmlUnescape(xmlEscape(awkward)), awkward);
}

TEST(Percent, DecodesEscapesAndKeepsTheRest) {
  EXPECT_EQ(percentDecode("VENDOR%20MODEL"), "VENDOR MODEL");
  EXPECT_EQ(percentDecode("100%zz%2"), "100%zz%2");
  EXPECT_EQ(percentDecode("%41%e2%82%ac"), "A\xE2\x82\xAC");
  EXPECT_EQ(percentDecode("p%40ss%3Aword"), "p@ss:word");
}

}  // namespace
}  // namespace pxo
