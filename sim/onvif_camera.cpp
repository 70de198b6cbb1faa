#include "sim/onvif_camera.h"

#include "capture/onvif/onvif_security.h"
#include "capture/onvif/onvif_xml.h"
#include "codec/base64.h"
#include "codec/xml_text.h"

#include <chrono>

namespace pxo::sim {
namespace {

constexpr char kDevicePath[] = "/onvif/device_service";
constexpr char kMediaPath[] = "/onvif/media_service";

// The envelope real cameras built with gSOAP send: their own prefixes for
// every namespace, declared up front.
std::string envelope(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<SOAP-ENV:Envelope"
         " xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\""
         " xmlns:SOAP-ENC=\"http://www.w3.org/2003/05/soap-encoding\""
         " xmlns:tt=\"http://www.onvif.org/ver10/schema\""
         " xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\""
         " xmlns:trt=\"http://www.onvif.org/ver10/media/wsdl\""
         " xmlns:ter=\"http://www.onvif.org/ver10/error\">\n"
         "<SOAP-ENV:Header></SOAP-ENV:Header>\n<SOAP-ENV:Body>" +
         body + "</SOAP-ENV:Body>\n</SOAP-ENV:Envelope>\n";
}

HttpReply soapReply(int status, const std::string& body) {
  HttpReply reply;
  reply.status = status;
  reply.contentType = "application/soap+xml; charset=utf-8";
  reply.body = envelope(body);
  return reply;
}

HttpReply fault(int status,
                const std::string& subcode,
                const std::string& text) {
  return soapReply(
      status,
      "<SOAP-ENV:Fault><SOAP-ENV:Code><SOAP-ENV:Value>SOAP-ENV:Sender"
      "</SOAP-ENV:Value><SOAP-ENV:Subcode><SOAP-ENV:Value>" +
          subcode +
          "</SOAP-ENV:Value></SOAP-ENV:Subcode></SOAP-ENV:Code>"
          "<SOAP-ENV:Reason><SOAP-ENV:Text xml:lang=\"en\">" +
          xmlEscape(text) +
          "</SOAP-ENV:Text></SOAP-ENV:Reason></SOAP-ENV:Fault>");
}

bool credentialsHold(const std::string& body,
                     const std::string& user,
                     const std::string& password) {
  if (xmlElementText(body, "Username") != user) return false;
  std::string nonce;
  if (!base64Decode(xmlElementText(body, "Nonce"), &nonce)) return false;
  const std::string created = xmlElementText(body, "Created");
  return !created.empty() && passwordDigest(nonce, created, password) ==
                                 xmlElementText(body, "Password");
}

}  // namespace

OnvifCamera::~OnvifCamera() { stop(); }

bool OnvifCamera::start(OnvifCameraConfig config, std::string* error) {
  config_ = std::move(config);
  return server_.start(
      config_.address,
      0,
      [this](const HttpRequest& request) { return answer(request); },
      error);
}

std::string OnvifCamera::deviceServiceUrl() const {
  return "http://" + config_.address + ":" + std::to_string(server_.port()) +
         kDevicePath;
}

void OnvifCamera::stop() {
  if (responder_) responder_->stop();
  server_.stop();
}

HttpReply OnvifCamera::answer(const HttpRequest& request) {
  ++requests_;
  const std::string& body = request.body;
  if (request.method != "POST") return fault(405, "ter:ActionNotSupported", "");
  const bool secured = xmlFindElement(body, "Security").has_value();
  if (secured) ++withSecurityHeader_;
  if (!config_.user.empty() || !config_.password.empty()) {
    if (!secured || !credentialsHold(body, config_.user, config_.password)) {
      ++refused_;
      return fault(400, "ter:NotAuthorized", "Sender not Authorized");
    }
  }

  const std::string base =
      "http://" + config_.address + ":" + std::to_string(server_.port());
  if (xmlFindElement(body, "GetCapabilities")) {
    const std::string media =
        base + (config_.separateMediaService ? kMediaPath : kDevicePath);
    return soapReply(
        200,
        "<tds:GetCapabilitiesResponse><tds:Capabilities>"
        "<tt:Device><tt:XAddr>" +
            base + kDevicePath +
            "</tt:XAddr><tt:Security><tt:TLS1.1>false</tt:TLS1.1>"
            "<tt:X.509Token>false</tt:X.509Token></tt:Security></tt:Device>"
            "<tt:Events><tt:XAddr>" +
            base +
            "/onvif/event_service</tt:XAddr></tt:Events>"
            "<tt:Media>\n  <tt:XAddr>" +
            media +
            "</tt:XAddr>\n  <tt:StreamingCapabilities>"
            "<tt:RTPMulticast>false</tt:RTPMulticast>"
            "<tt:RTP_TCP>true</tt:RTP_TCP></tt:StreamingCapabilities>"
            "</tt:Media></tds:Capabilities></tds:GetCapabilitiesResponse>");
  }
  if (xmlFindElement(body, "GetProfiles")) {
    if (!config_.getProfilesFault.empty())
      return fault(500, "ter:Action", config_.getProfilesFault);
    std::string profiles = "<trt:GetProfilesResponse>";
    for (const SimProfile& p : config_.profiles) {
      const std::string w = std::to_string(p.width);
      const std::string h = std::to_string(p.height);
      profiles += "<trt:Profiles fixed=\"true\" token=\"" + xmlEscape(p.token) +
                  "\"><tt:Name>" + xmlEscape(p.name) +
                  "</tt:Name><tt:VideoSourceConfiguration token=\"src\">"
                  "<tt:Name>source</tt:Name><tt:UseCount>2</tt:UseCount>"
                  "<tt:SourceToken>vs</tt:SourceToken>"
                  "<tt:Bounds height=\"2160\" width=\"3840\" y=\"0\" x=\"0\">"
                  "</tt:Bounds></tt:VideoSourceConfiguration>";
      if (!p.encoding.empty()) {
        profiles +=
            "<tt:VideoEncoderConfiguration token=\"enc\">"
            "<tt:Name>encoder</tt:Name><tt:UseCount>1</tt:UseCount>"
            "<tt:Encoding>";
        profiles += p.encoding;
        profiles += "</tt:Encoding><tt:Resolution><tt:Width>";
        profiles += w;
        profiles += "</tt:Width><tt:Height>";
        profiles += h;
        profiles +=
            "</tt:Height></tt:Resolution><tt:Quality>5</tt:Quality>"
            "<tt:RateControl><tt:FrameRateLimit>";
        profiles += std::to_string(p.frameRateLimit);
        profiles +=
            "</tt:FrameRateLimit><tt:EncodingInterval>1"
            "</tt:EncodingInterval><tt:BitrateLimit>4096"
            "</tt:BitrateLimit></tt:RateControl>"
            "</tt:VideoEncoderConfiguration>";
      }
      profiles += "</trt:Profiles>";
    }
    return soapReply(200, profiles + "</trt:GetProfilesResponse>");
  }
  if (xmlFindElement(body, "GetStreamUri")) {
    const std::string token = xmlElementText(body, "ProfileToken");
    for (const SimProfile& p : config_.profiles) {
      if (p.token != token || config_.streamUriFails) continue;
      return soapReply(
          200,
          "<trt:GetStreamUriResponse><trt:MediaUri><tt:Uri>\n        " +
              xmlEscape(p.streamUri) +
              "\n      </tt:Uri><tt:InvalidAfterConnect>false"
              "</tt:InvalidAfterConnect><tt:Timeout>PT0S</tt:Timeout>"
              "</trt:MediaUri></trt:GetStreamUriResponse>");
    }
    return fault(400, "ter:InvalidArgVal", "No such profile");
  }
  return fault(400, "ter:ActionNotSupported", "Action not supported");
}

std::string OnvifCamera::probeMatches(const std::string& probe) const {
  std::string base = ":";
  base += std::to_string(server_.port());
  base += kDevicePath;
  std::string xaddrs = "http://" + config_.address + base;
  if (!config_.secondAddress.empty())
    xaddrs += " http://" + config_.secondAddress + base;
  std::string scopes = "onvif://www.onvif.org/type/video_encoder\n    ";
  if (!config_.scopeName.empty())
    scopes += "onvif://www.onvif.org/name/" + config_.scopeName + " ";
  if (!config_.scopeHardware.empty())
    scopes += "onvif://www.onvif.org/hardware/" + config_.scopeHardware + " ";
  scopes += "onvif://www.onvif.org/location/country/nowhere";
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
         "<SOAP-ENV:Envelope"
         " xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\""
         " xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\""
         " xmlns:wsdd=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\""
         " xmlns:tdn=\"http://www.onvif.org/ver10/network/wsdl\">"
         "<SOAP-ENV:Header><wsa:MessageID>urn:uuid:" +
         makeUuid() + "</wsa:MessageID><wsa:RelatesTo>" +
         xmlElementText(probe, "MessageID") +
         "</wsa:RelatesTo><wsa:To SOAP-ENV:mustUnderstand=\"true\">"
         "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous"
         "</wsa:To><wsa:Action SOAP-ENV:mustUnderstand=\"true\">"
         "http://schemas.xmlsoap.org/ws/2005/04/discovery/ProbeMatches"
         "</wsa:Action></SOAP-ENV:Header><SOAP-ENV:Body><wsdd:ProbeMatches>"
         "<wsdd:ProbeMatch><wsa:EndpointReference><wsa:Address>urn:uuid:" +
         makeUuid() +
         "</wsa:Address></wsa:EndpointReference>"
         "<wsdd:Types>tdn:NetworkVideoTransmitter</wsdd:Types>"
         "<wsdd:Scopes>\n    " +
         scopes + "\n  </wsdd:Scopes><wsdd:XAddrs> " + xaddrs +
         " </wsdd:XAddrs><wsdd:MetadataVersion>1</wsdd:MetadataVersion>"
         "</wsdd:ProbeMatch></wsdd:ProbeMatches></SOAP-ENV:Body>"
         "</SOAP-ENV:Envelope>";
}

bool OnvifCamera::startResponder(std::string* error) {
  responder_ = std::make_unique<WsDiscoveryResponder>();
  std::vector<std::string> from{""};
  if (!config_.secondAddress.empty()) from.push_back(config_.secondAddress);
  return responder_->start(
      [this](const std::string& probe) {
        std::vector<std::string> replies{probeMatches(probe)};
        if (config_.answerTwice) replies.push_back(replies.front());
        return replies;
      },
      from,
      error);
}

WsDiscoveryResponder::~WsDiscoveryResponder() { stop(); }

bool WsDiscoveryResponder::start(Answer answer,
                                 const std::vector<std::string>& from,
                                 std::string* error) {
  answer_ = std::move(answer);
  platform::SocketAddress any;
  if (!platform::makeIPv4Address("0.0.0.0", 3702, &any)) return false;
  listener_ = platform::UdpSocket::bindShared(any, error);
  if (!listener_.valid()) return false;
  if (!listener_.joinMulticastGroup("239.255.255.250")) {
    if (error) *error = "could not join the discovery group";
    return false;
  }
  for (const std::string& address : from) {
    if (address.empty()) {
      senders_.emplace_back();
      continue;
    }
    platform::SocketAddress local;
    if (!platform::makeIPv4Address(address, 0, &local)) return false;
    senders_.push_back(platform::UdpSocket::bind(local, error));
    if (!senders_.back().valid()) return false;
  }
  running_ = true;
  thread_ = std::thread([this] { run(); });
  return true;
}

void WsDiscoveryResponder::stop() {
  running_ = false;
  if (thread_.joinable()) thread_.join();
  listener_.close();
  senders_.clear();
}

void WsDiscoveryResponder::run() {
  std::string buffer(65536, '\0');
  while (running_) {
    platform::SocketAddress prober;
    const long got = listener_.receiveFrom(
        buffer.data(), buffer.size(), std::chrono::milliseconds(50), &prober);
    if (got <= 0) continue;
    // Probes from this machine only: a simulated camera is never offered
    // to anyone else on a network it happens to share.
    // (A multicast route on loopback alone sends from 0.0.0.0.)
    const std::string from = prober.toString();
    if (from.rfind("127.", 0) != 0 && from.rfind("0.0.0.0:", 0) != 0) continue;
    const std::string probe = buffer.substr(0, static_cast<size_t>(got));
    if (!xmlFindElement(probe, "Probe")) continue;
    ++probes_;
    for (const std::string& reply : answer_(probe)) {
      for (const platform::UdpSocket& sender : senders_) {
        const platform::UdpSocket& socket = sender.valid() ? sender : listener_;
        (void)socket.sendTo(prober, reply.data(), reply.size());
      }
    }
  }
}

}  // namespace pxo::sim
