#pragma once

// ONVIF as far as a scan needs it: find network cameras with a WS-Discovery
// probe, and ask one camera for the RTSP addresses of its H.264 profiles.
// Replies are read with the text search in onvif_xml.h, never parsed as
// documents. Both operations block the calling thread for their whole run;
// callers do not run two at once (the nonce generator's fallback state and
// the debug switch are process-wide).
//
//   std::vector<OnvifProfile> profiles;
//   std::string error;
//   if (listCameraProfiles("http://10.0.0.9/onvif/device_service", "admin",
//                          password, &profiles, &error) > 0)
//     open(profiles.front().streamUri);  // the largest picture first

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pxo {

struct DiscoveredNetworkCamera {
  std::string label;           // scope name and hardware, or the host
  std::string host;            // of the service address, without port
  std::string serviceAddress;  // the first of the responder's XAddrs
};

struct OnvifProfile {
  std::string name;
  std::string token;
  std::string streamUri;  // empty when GetStreamUri failed
  int32_t width = 0;
  int32_t height = 0;
  int32_t frameRateLimit = 0;
};

struct SoapReply {
  int32_t status = 0;  // the HTTP status; 0 when no answer arrived
  std::string text;    // the response body
};

// Whether PXO_ONVIF_DEBUG is set; read afresh by each operation.
bool onvifDebugEnabled();

// The camera a ProbeMatches reply describes; none for a responder that is
// not an ONVIF device or names no host.
std::optional<DiscoveredNetworkCamera> readProbeMatch(std::string_view reply,
                                                      bool debug = false);

// Sends one probe to the WS-Discovery group and collects the cameras that
// answer within `timeoutMs` (3000 when < 1), at most `maxCount`, one per
// host, in order of arrival. -1 when no UDP socket could be bound.
int32_t discoverOnvifCameras(int32_t maxCount,
                             int32_t timeoutMs,
                             std::vector<DiscoveredNetworkCamera>* out);

// One SOAP 1.2 request to a service URL, credentials in a WS-Security
// header only (none when both are empty). Bounded in time and size by the
// HTTP client's limits.
SoapReply soapCall(std::string_view serviceUrl,
                   std::string_view bodyXml,
                   std::string_view user,
                   std::string_view password);

// The media service address a GetCapabilities reply names; none when it
// names none.
std::optional<std::string> mediaAddressIn(std::string_view capabilities);

// The H.264 profiles a GetProfiles reply lists, in its order, without
// stream addresses.
std::vector<OnvifProfile> h264ProfilesIn(std::string_view profiles);

// A SOAP fault's reason text; empty when the reply carries none.
std::string soapFaultText(std::string_view reply);

// GetCapabilities → GetProfiles → GetStreamUri for each H.264 profile. The
// profiles, largest picture first: their number, 0 with "no H.264 video
// profiles found", or -1 with the reason.
int32_t listCameraProfiles(std::string_view deviceServiceUrl,
                           std::string_view user,
                           std::string_view password,
                           std::vector<OnvifProfile>* out,
                           std::string* error);

}  // namespace pxo
