#include "capture/onvif/onvif_security.h"
#include "capture/onvif/onvif_xml.h"
#include "codec/base64.h"

#include <string>

#include <gtest/gtest.h>

namespace pxo {
namespace {

// Matches text against a shape where '9' stands for a decimal digit, 'x' for
// a lower-case hex digit and anything else for itself.
bool fitsShape(const std::string& text, const std::string& shape) {
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool digit = c >= '0' && c <= '9';
    if (shape[i] == '9') {
      if (!digit) return false;
    } else if (shape[i] == 'x') {
      if (!digit && !(c >= 'a' && c <= 'f')) return false;
    } else if (c != shape[i]) {
      return false;
    }
  }
  return true;
}

// Password digests a camera echoed back (user admin, password 9999).
TEST(OnvifSecurity, PasswordDigestVectors) {
  struct Vector {
    const char* nonce;
    const char* created;
    const char* digest;
  };
  for (const Vector& v : {Vector{"NTE3MDA5ODgzMg==",
                                 "2014-12-25T16:28:49.646Z",
                                 "Eikg93ADHyNiflt5IOkjpIDbEB8="},
                          Vector{"Nzg1MDE2OTYz",
                                 "2014-12-24T16:20:37.475Z",
                                 "5y9Zcgk2iMChJdQw/yOKEtqsI/0="},
                          Vector{"NzQ2MTAxMDk3NQ==",
                                 "2014-12-24T16:20:37.481Z",
                                 "eqy980Ghbsq3pGRTc/9ogfBa/oA="}}) {
    std::string nonce;
    ASSERT_TRUE(base64Decode(v.nonce, &nonce));
    EXPECT_EQ(passwordDigest(nonce, v.created, "9999"), v.digest);
    const std::string header =
        securityHeaderWith("admin", "9999", nonce, v.created);
    EXPECT_EQ(xmlElementText(header, "Password"), v.digest);
    EXPECT_EQ(xmlElementText(header, "Nonce"), v.nonce);
    EXPECT_EQ(xmlElementText(header, "Created"), v.created);
    EXPECT_EQ(xmlElementText(header, "Username"), "admin");
  }
}

TEST(OnvifSecurity, HeaderOnlyWithCredentialsAndFreshEachTime) {
  EXPECT_EQ(makeSecurityHeader("", ""), "");
  const std::string a = makeSecurityHeader("a&b<c", "");
  EXPECT_EQ(xmlElementText(a, "Username"), "a&b<c");
  EXPECT_NE(a.find("s:mustUnderstand=\"1\""), std::string::npos);
  EXPECT_TRUE(fitsShape(xmlElementText(a, "Created"), "9999-99-99T99:99:99Z"))
      << xmlElementText(a, "Created");
  const std::string b = makeSecurityHeader("a&b<c", "");
  EXPECT_NE(xmlElementText(a, "Nonce"), xmlElementText(b, "Nonce"));
  std::string nonce;
  ASSERT_TRUE(base64Decode(xmlElementText(a, "Nonce"), &nonce));
  EXPECT_EQ(nonce.size(), 16u);

  const std::string u = makeUuid();
  EXPECT_TRUE(fitsShape(u, "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx")) << u;
  EXPECT_NE(u, makeUuid());
}

// Replies shaped like real cameras': prefixes differ for one namespace,
// names contain dots, text is padded and holds entities.
TEST(OnvifXml, ElementsWhateverTheirPrefix) {
  const std::string reply =
      "<?xml version=\"1.0\"?><SOAP-ENV:Envelope xmlns:tt=\"x\">"
      "<SOAP-ENV:Body><trt:GetStreamUriResponse><trt:MediaUri>"
      "<tt:Uri>\n     rtsp://127.0.0.1:8554/cam?channel=1&amp;subtype=1 \n"
      "</tt:Uri><tt:InvalidAfterConnect>false</tt:InvalidAfterConnect>"
      "</trt:MediaUri></trt:GetStreamUriResponse></SOAP-ENV:Body>"
      "</SOAP-ENV:Envelope>";
  EXPECT_EQ(xmlElementText(reply, "Uri"),
            "rtsp://127.0.0.1:8554/cam?channel=1&subtype=1");
  EXPECT_EQ(xmlElementText(reply, "InvalidAfterConnect"), "false");
  // "MediaUri" is not "Uri"; an element that is not there is empty.
  EXPECT_EQ(xmlElementText(reply, "Timeout"), "");
  EXPECT_TRUE(xmlFindElement(reply, "MediaUri").has_value());
  EXPECT_EQ(*xmlFindElement(reply, "Uri"), reply.find("tt:Uri>") + 3);

  // Unprefixed, an empty tag before the full one, dotted names, a name in
  // a closing tag first.
  const std::string caps =
      "</tt:Media><Media/><tt:TLS1.1>true</tt:TLS1.1>"
      "<Media><XAddr>http://127.0.0.1:8080/onvif/media_service</XAddr>"
      "</Media>";
  EXPECT_EQ(xmlElementText(caps, "TLS1.1"), "true");
  EXPECT_EQ(xmlElementText(caps, "XAddr", *xmlFindElement(caps, "Media")),
            "http://127.0.0.1:8080/onvif/media_service");
  EXPECT_EQ(xmlElementText(caps, "Media"),
            "<XAddr>http://127.0.0.1:8080/"
            "onvif/media_service");
}

TEST(OnvifXml, AttributesEntitiesAndPercents) {
  const std::string profiles =
      "<trt:Profiles fixed=\"true\" token='Profile&amp;1'>"
      "<tt:Name>main</tt:Name></trt:Profiles>"
      "<trt:Profiles xmlns:x=\"y\" x:token=\"p2\"><tt:Name/></trt:Profiles>";
  const size_t first = *xmlFindElement(profiles, "Profiles");
  EXPECT_EQ(xmlAttribute(profiles, first, "token"), "Profile&1");
  EXPECT_EQ(xmlAttribute(profiles, first, "fixed"), "true");
  EXPECT_EQ(xmlAttribute(profiles, first, "missing"), "");
  const size_t second = *xmlFindElement(profiles, "Profiles", first + 1);
  // The closing tag of the first comes before the second's start tag.
  const size_t start = *xmlFindElement(profiles, "Profiles", second + 1);
  EXPECT_EQ(xmlAttribute(profiles, start, "token"), "p2");
  EXPECT_EQ(xmlAttribute(profiles, profiles.size() + 5, "token"), "");
}

}  // namespace
}  // namespace pxo
