#include "capture/onvif/onvif_security.h"

#include "codec/base64.h"
#include "codec/sha1.h"
#include "codec/xml_text.h"
#include "platform/local_time.h"
#include "platform/random.h"

#include <cstdio>
#include <ctime>

namespace pxo {
namespace {

// The fallback generator's state, kept from call to call. Callers do not
// run two ONVIF operations at once.
uint64_t fallbackState = 0;

}  // namespace

std::array<uint8_t, 16> randomBytes16() {
  std::array<uint8_t, 16> bytes{};
  if (platform::secureRandom(bytes.data(), bytes.size())) return bytes;
  int onStack = 0;
  fallbackState ^= static_cast<uint64_t>(std::time(nullptr)) ^
                   static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&onStack));
  for (uint8_t& byte : bytes) {
    fallbackState =
        fallbackState * 6364136223846793005ULL + 1442695040888963407ULL;
    byte = static_cast<uint8_t>(fallbackState >> 33);
  }
  return bytes;
}

std::string makeUuid() {
  const auto b = randomBytes16();
  char text[40];
  std::snprintf(text,
                sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-"
                "%02x%02x%02x%02x%02x%02x",
                b[0],
                b[1],
                b[2],
                b[3],
                b[4],
                b[5],
                b[6],
                b[7],
                b[8],
                b[9],
                b[10],
                b[11],
                b[12],
                b[13],
                b[14],
                b[15]);
  return text;
}

std::string passwordDigest(std::string_view nonce,
                           std::string_view created,
                           std::string_view password) {
  std::string input;
  input.reserve(nonce.size() + created.size() + password.size());
  input.append(nonce).append(created).append(password);
  const auto digest = sha1(input);
  return base64Encode(std::string_view(
      reinterpret_cast<const char*>(digest.data()), digest.size()));
}

std::string securityHeaderWith(std::string_view user,
                               std::string_view password,
                               std::string_view nonce,
                               std::string_view created) {
  std::string header =
      "<wsse:Security s:mustUnderstand=\"1\" "
      "xmlns:wsse=\"http://docs.oasis-open.org/wss/2004/01/"
      "oasis-200401-wss-wssecurity-secext-1.0.xsd\" "
      "xmlns:wsu=\"http://docs.oasis-open.org/wss/2004/01/"
      "oasis-200401-wss-wssecurity-utility-1.0.xsd\">"
      "<wsse:UsernameToken><wsse:Username>";
  header += xmlEscape(user);
  header +=
      "</wsse:Username><wsse:Password Type=\"http://docs.oasis-open.org/wss/"
      "2004/01/oasis-200401-wss-username-token-profile-1.0#PasswordDigest\">";
  header += passwordDigest(nonce, created, password);
  header +=
      "</wsse:Password><wsse:Nonce EncodingType=\"http://docs.oasis-open.org/"
      "wss/2004/01/oasis-200401-wss-soap-message-security-1.0#Base64Binary\">";
  header += base64Encode(nonce);
  header += "</wsse:Nonce><wsu:Created>";
  header.append(created);
  header += "</wsu:Created></wsse:UsernameToken></wsse:Security>";
  return header;
}

std::string makeSecurityHeader(std::string_view user,
                               std::string_view password) {
  if (user.empty() && password.empty()) return {};
  const auto nonce = randomBytes16();
  const std::string created = platform::utcText(platform::utcTimeNow());
  return securityHeaderWith(
      user,
      password,
      std::string_view(reinterpret_cast<const char*>(nonce.data()),
                       nonce.size()),
      created);
}

}  // namespace pxo
