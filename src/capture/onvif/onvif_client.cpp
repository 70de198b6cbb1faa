#include "capture/onvif/onvif_client.h"

#include "capture/onvif/onvif_security.h"
#include "capture/onvif/onvif_xml.h"
#include "codec/percent.h"
#include "codec/xml_text.h"
#include "controller/http_client.h"
#include "platform/socket.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <set>

namespace pxo {
namespace {

constexpr char kDiscoveryGroup[] = "239.255.255.250";
constexpr uint16_t kDiscoveryPort = 3702;
constexpr int32_t kDefaultDiscoveryMs = 3000;
constexpr size_t kMaxDatagramBytes = 65536;
// GetProfiles of a recorder with dozens of channels runs to a few hundred
// kilobytes; nothing a camera says about itself needs more.
constexpr size_t kMaxSoapReplyBytes = size_t{4} << 20;

constexpr char kProbeBefore[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<e:Envelope xmlns:e=\"http://www.w3.org/2003/05/soap-envelope\""
    " xmlns:w=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\""
    " xmlns:d=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\""
    " xmlns:dn=\"http://www.onvif.org/ver10/network/wsdl\">"
    "<e:Header><w:MessageID>uuid:";
constexpr char kProbeAfter[] =
    "</w:MessageID>"
    "<w:To e:mustUnderstand=\"true\">"
    "urn:schemas-xmlsoap-org:ws:2005:04:discovery</w:To>"
    "<w:Action e:mustUnderstand=\"true\">"
    "http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe</w:Action>"
    "</e:Header><e:Body><d:Probe><d:Types>dn:NetworkVideoTransmitter"
    "</d:Types></d:Probe></e:Body></e:Envelope>";

constexpr char kGetCapabilities[] =
    "<tds:GetCapabilities xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\">"
    "<tds:Category>Media</tds:Category></tds:GetCapabilities>";
constexpr char kGetProfiles[] =
    "<trt:GetProfiles xmlns:trt=\"http://www.onvif.org/ver10/media/wsdl\"/>";
constexpr char kGetStreamUriBefore[] =
    "<trt:GetStreamUri xmlns:trt=\"http://www.onvif.org/ver10/media/wsdl\""
    " xmlns:tt=\"http://www.onvif.org/ver10/schema\">"
    "<trt:StreamSetup><tt:Stream>RTP-Unicast</tt:Stream><tt:Transport>"
    "<tt:Protocol>RTSP</tt:Protocol></tt:Transport></trt:StreamSetup>"
    "<trt:ProfileToken>";
constexpr char kGetStreamUriAfter[] = "</trt:ProfileToken></trt:GetStreamUri>";

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string lowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// The host of a URL: no scheme, user information, port or path; the
// brackets of an IPv6 literal dropped.
std::string hostOf(std::string_view url) {
  if (const size_t scheme = url.find("://"); scheme != std::string_view::npos)
    url.remove_prefix(scheme + 3);
  url = url.substr(0, url.find_first_of("/?#"));
  if (const size_t at = url.rfind('@'); at != std::string_view::npos)
    url.remove_prefix(at + 1);
  if (!url.empty() && url.front() == '[') {
    const size_t close = url.find(']');
    return close == std::string_view::npos
               ? std::string()
               : std::string(url.substr(1, close - 1));
  }
  return std::string(url.substr(0, url.find(':')));
}

// The value after `key` in a scope list, up to the next blank,
// percent-decoded; empty when the key is not there.
std::string scopeValue(std::string_view scopes, std::string_view key) {
  const size_t at = scopes.find(key);
  if (at == std::string_view::npos) return {};
  std::string_view value = scopes.substr(at + key.size());
  size_t end = 0;
  while (end < value.size() && !isBlank(value[end])) ++end;
  return percentDecode(value.substr(0, end));
}

// A leading decimal integer (white space and a sign allowed), clamped to
// int32; 0 when there is none.
int32_t integerOf(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && isBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+'))
    negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    value = std::min<int64_t>(value * 10 + (text[i] - '0'), INT32_MAX);
  return static_cast<int32_t>(negative ? -value : value);
}

// vfprintf is the C99 one on every build (mingw-w64's own with
// __USE_MINGW_ANSI_STDIO), which the checker knows as gnu_printf there.
#if defined(__MINGW32__)
#define PXO_PRINTF_FORMAT gnu_printf
#else
#define PXO_PRINTF_FORMAT printf
#endif
void debugLine(bool debug, const char* format, ...)
    __attribute__((format(PXO_PRINTF_FORMAT, 2, 3)));
void debugLine(bool debug, const char* format, ...) {
  if (!debug) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

SoapReply soapCallWith(std::string_view serviceUrl,
                       std::string_view bodyXml,
                       std::string_view user,
                       std::string_view password,
                       bool debug) {
  std::string_view rest = serviceUrl;
  if (const size_t scheme = rest.find("://"); scheme != std::string_view::npos)
    rest.remove_prefix(scheme + 3);
  const size_t slash = rest.find('/');
  const std::string_view address = rest.substr(0, slash);
  const std::string path =
      slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));

  std::string envelope =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
      "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\">"
      "<s:Header>";
  envelope += makeSecurityHeader(user, password);
  envelope += "</s:Header><s:Body>";
  envelope += bodyXml;
  envelope += "</s:Body></s:Envelope>";
  debugLine(debug,
            "[onvif] POST %.*s%s (body %zu bytes)",
            static_cast<int>(address.size()),
            address.data(),
            path.c_str(),
            envelope.size());

  HttpLimits limits;
  limits.maxResponseBytes = kMaxSoapReplyBytes;
  HttpResponse response;
  httpRequest(&response,
              address,
              "POST",
              path,
              envelope,
              "application/soap+xml; charset=utf-8",
              "",
              "",
              limits);
  debugLine(debug,
            "[onvif]   -> transportOk=%d status=%d body=%zu bytes",
            response.ok ? 1 : 0,
            response.status,
            response.body.size());
  SoapReply reply;
  reply.status = response.ok ? response.status : 0;
  reply.text = std::move(response.body);
  return reply;
}

}  // namespace

bool onvifDebugEnabled() {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): nothing here sets the environment
  return std::getenv("PXO_ONVIF_DEBUG") != nullptr;
}

std::optional<DiscoveredNetworkCamera> readProbeMatch(std::string_view reply,
                                                      bool debug) {
  const std::string xaddrs = xmlElementText(reply, "XAddrs");
  if (lowerCase(xaddrs).find("onvif") == std::string::npos) {
    debugLine(debug,
              "[onvif] ignoring non-ONVIF responder (xaddrs='%.60s')",
              xaddrs.c_str());
    return std::nullopt;
  }
  DiscoveredNetworkCamera camera;
  size_t end = 0;
  while (end < xaddrs.size() && !isBlank(xaddrs[end])) ++end;
  camera.serviceAddress = xaddrs.substr(0, end);
  camera.host = hostOf(camera.serviceAddress);
  if (camera.host.empty()) return std::nullopt;

  const std::string scopes = xmlElementText(reply, "Scopes");
  const std::string name = scopeValue(scopes, "/name/");
  const std::string hardware = scopeValue(scopes, "/hardware/");
  if (!name.empty() && !hardware.empty())
    camera.label = name + " " + hardware;
  else if (!name.empty() || !hardware.empty())
    camera.label = name + hardware;
  else
    camera.label = camera.host;
  return camera;
}

int32_t discoverOnvifCameras(int32_t maxCount,
                             int32_t timeoutMs,
                             std::vector<DiscoveredNetworkCamera>* out) {
  out->clear();
  if (maxCount < 1) return 0;
  const bool debug = onvifDebugEnabled();
  platform::startNetworking();
  platform::SocketAddress any;
  platform::SocketAddress group;
  if (!platform::makeIPv4Address("0.0.0.0", 0, &any) ||
      !platform::makeIPv4Address(kDiscoveryGroup, kDiscoveryPort, &group))
    return -1;
  const platform::UdpSocket socket = platform::UdpSocket::bindShared(any);
  if (!socket.valid()) return -1;
  socket.setMulticastTtl(2);

  const std::string probe = kProbeBefore + makeUuid() + kProbeAfter;
  // A probe that cannot be sent finds nobody; that is not an error.
  (void)socket.sendTo(group, probe.data(), probe.size());

  using Clock = std::chrono::steady_clock;
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(
                         timeoutMs < 1 ? kDefaultDiscoveryMs : timeoutMs);
  std::vector<char> buffer(kMaxDatagramBytes);
  std::set<std::string> hosts;
  while (static_cast<int32_t>(out->size()) < maxCount) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    if (left.count() <= 0) break;
    const long got = socket.receiveFrom(buffer.data(), buffer.size(), left);
    if (got == platform::kSocketTimedOut) break;
    if (got <= 0) continue;
    const std::string_view reply(buffer.data(), static_cast<size_t>(got));
    std::optional<DiscoveredNetworkCamera> camera =
        readProbeMatch(reply, debug);
    if (!camera || !hosts.insert(camera->host).second) continue;
    debugLine(debug,
              "[onvif] found '%s' at %s (%s)",
              camera->label.c_str(),
              camera->host.c_str(),
              camera->serviceAddress.c_str());
    out->push_back(std::move(*camera));
  }
  return static_cast<int32_t>(out->size());
}

SoapReply soapCall(std::string_view serviceUrl,
                   std::string_view bodyXml,
                   std::string_view user,
                   std::string_view password) {
  return soapCallWith(serviceUrl, bodyXml, user, password, onvifDebugEnabled());
}

std::optional<std::string> mediaAddressIn(std::string_view capabilities) {
  const std::optional<size_t> media = xmlFindElement(capabilities, "Media");
  if (!media) return std::nullopt;
  std::string address = xmlElementText(capabilities, "XAddr", *media);
  if (address.empty()) return std::nullopt;
  return address;
}

std::vector<OnvifProfile> h264ProfilesIn(std::string_view profiles) {
  std::vector<OnvifProfile> kept;
  std::optional<size_t> at = xmlFindElement(profiles, "Profiles");
  while (at) {
    const std::optional<size_t> next =
        xmlFindElement(profiles, "Profiles", *at + 1);
    // The profile's own text only, so that a profile without an encoder
    // never borrows the next one's.
    const std::string_view block =
        profiles.substr(*at, next ? *next - *at : std::string_view::npos);
    at = next;
    const std::optional<size_t> encoder =
        xmlFindElement(block, "VideoEncoderConfiguration");
    if (!encoder) continue;
    if (lowerCase(xmlElementText(block, "Encoding", *encoder)).find("264") ==
        std::string::npos)
      continue;
    OnvifProfile profile;
    profile.token = xmlAttribute(block, 0, "token");
    profile.name = xmlElementText(block, "Name");
    profile.width = integerOf(xmlElementText(block, "Width", *encoder));
    profile.height = integerOf(xmlElementText(block, "Height", *encoder));
    profile.frameRateLimit =
        integerOf(xmlElementText(block, "FrameRateLimit", *encoder));
    kept.push_back(std::move(profile));
  }
  return kept;
}

std::string soapFaultText(std::string_view reply) {
  std::string text = xmlElementText(reply, "Text");
  if (text.empty()) text = xmlElementText(reply, "Reason");
  return text;
}

int32_t listCameraProfiles(std::string_view deviceServiceUrl,
                           std::string_view user,
                           std::string_view password,
                           std::vector<OnvifProfile>* out,
                           std::string* error) {
  out->clear();
  error->clear();
  const bool debug = onvifDebugEnabled();

  std::string mediaUrl(deviceServiceUrl);
  const SoapReply capabilities =
      soapCallWith(deviceServiceUrl, kGetCapabilities, user, password, debug);
  if (std::optional<std::string> media = mediaAddressIn(capabilities.text))
    mediaUrl = std::move(*media);
  debugLine(debug,
            "[onvif] GetCapabilities status=%d mediaUrl=%s",
            capabilities.status,
            mediaUrl.c_str());

  const SoapReply listing =
      soapCallWith(mediaUrl, kGetProfiles, user, password, debug);
  if (!xmlFindElement(listing.text, "Profiles")) {
    *error =
        "GetProfiles failed (status " + std::to_string(listing.status) + ")";
    if (const std::string fault = soapFaultText(listing.text); !fault.empty())
      *error += ": " + fault;
    debugLine(debug,
              "[onvif] GetProfiles status=%d body[0..200]=%.200s",
              listing.status,
              listing.text.c_str());
    return -1;
  }

  std::vector<OnvifProfile> profiles = h264ProfilesIn(listing.text);
  for (OnvifProfile& profile : profiles) {
    const std::string request =
        kGetStreamUriBefore + xmlEscape(profile.token) + kGetStreamUriAfter;
    const SoapReply stream =
        soapCallWith(mediaUrl, request, user, password, debug);
    profile.streamUri = xmlElementText(stream.text, "Uri");
    debugLine(debug,
              "[onvif] profile '%s' %dx%d @%dfps -> %s",
              profile.name.c_str(),
              profile.width,
              profile.height,
              profile.frameRateLimit,
              profile.streamUri.c_str());
  }
  std::stable_sort(profiles.begin(),
                   profiles.end(),
                   [](const OnvifProfile& a, const OnvifProfile& b) {
                     return int64_t{a.width} * a.height >
                            int64_t{b.width} * b.height;
                   });
  if (profiles.empty()) {
    *error = "no H.264 video profiles found";
    return 0;
  }
  *out = std::move(profiles);
  return static_cast<int32_t>(out->size());
}

}  // namespace pxo
