#include "capture/rtsp/rtsp_text.h"

#include "codec/base64.h"
#include "codec/md5.h"
#include "codec/percent.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace pxo {
namespace {

std::string_view trim(std::string_view text) {
  while (!text.empty() &&
         std::isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  return text;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The integer at the start of `text` (after white space), or `fallback`.
int64_t leadingInteger(std::string_view text, int64_t fallback) {
  text = trim(text);
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+'))
    negative = text[i++] == '-';
  if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i])))
    return fallback;
  int64_t value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]));
       ++i)
    value = std::min<int64_t>(value * 10 + (text[i] - '0'), INT32_MAX);
  return negative ? -value : value;
}

}  // namespace

RtspUrl parseRtspUrl(std::string_view text) {
  RtspUrl url;
  url.problem = "invalid rtsp url";
  text = trim(text);
  const size_t scheme = text.find("://");
  if (scheme == std::string_view::npos) return url;
  const std::string name = lower(text.substr(0, scheme));
  if (name != "rtsp" && name != "rtsps") return url;
  std::string_view rest = text.substr(scheme + 3);
  const size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  url.path =
      slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
  // Hosts hold no "@": everything before the last one is user information.
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
    const std::string_view info = authority.substr(0, at);
    const size_t colon = info.find(':');
    url.user = percentDecode(info.substr(0, colon));
    if (colon != std::string_view::npos)
      url.password = percentDecode(info.substr(colon + 1));
    authority = authority.substr(at + 1);
  }
  std::string_view port;
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    url.host = std::string(authority.substr(
        1,
        close == std::string_view::npos ? std::string_view::npos : close - 1));
    if (close != std::string_view::npos) {
      const std::string_view after = authority.substr(close + 1);
      if (startsWith(after, ":")) port = after.substr(1);
    }
  } else {
    const size_t colon = authority.rfind(':');
    url.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) port = authority.substr(colon + 1);
  }
  url.port = port.empty() ? "554" : std::string(port);
  // An IPv6 host goes back into brackets in the request URL.
  const bool v6 = url.host.find(':') != std::string::npos;
  url.requestUrl = "rtsp://" + (v6 ? "[" + url.host + "]" : url.host) + ":" +
                   url.port + url.path;
  url.valid = !url.host.empty();
  if (!url.valid) return url;
  const bool numeric =
      url.port.size() <= 5 &&
      std::all_of(url.port.begin(), url.port.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
      });
  if (!numeric || leadingInteger(url.port, 0) < 1 ||
      leadingInteger(url.port, 0) > 65535) {
    // Most often a password with a raw "/" or ":" that cut the address.
    url.valid = false;
    url.problem = "invalid rtsp url: the port \"" + url.port +
                  "\" is not a number; a user name or password holding "
                  "\"/\", \":\" or \"@\" must be percent-encoded (%2F, %3A, "
                  "%40) or given apart from the URL";
    return url;
  }
  url.problem.clear();
  return url;
}

std::string findHeaderValue(std::string_view headers, std::string_view name) {
  const std::string block = lower(headers);
  const std::string key = lower(name) + ":";
  const size_t at = block.find(key);
  if (at == std::string::npos) return "";
  const size_t start = at + key.size();
  const size_t end = headers.find("\r\n", start);
  return std::string(trim(headers.substr(
      start,
      end == std::string_view::npos ? std::string_view::npos : end - start)));
}

std::string findParameter(std::string_view text, std::string_view key) {
  if (key.empty()) return "";
  for (size_t at = text.find(key); at != std::string_view::npos;
       at = text.find(key, at + 1)) {
    const bool startOk = at == 0 || text[at - 1] == ' ' ||
                         text[at - 1] == ',' || text[at - 1] == '\t' ||
                         text[at - 1] == ';';
    const size_t after = at + key.size();
    if (!startOk || after >= text.size() || text[after] != '=') continue;
    std::string_view value = text.substr(after + 1);
    if (!value.empty() && value.front() == '"') {
      const size_t close = value.find('"', 1);
      if (close == std::string_view::npos) return "";
      return std::string(value.substr(1, close - 1));
    }
    const size_t end = value.find_first_of(",\r\n ");
    return std::string(value.substr(0, end));
  }
  return "";
}

RtspTake takeRtspResponse(std::string* buffer, RtspResponse* reply) {
  // Interleaved frames that came before the reply.
  while (!buffer->empty() && (*buffer)[0] == '$') {
    if (buffer->size() < 4) return RtspTake::kNeedMore;
    const size_t length =
        (size_t(uint8_t((*buffer)[2])) << 8) | size_t(uint8_t((*buffer)[3]));
    if (buffer->size() < 4 + length) return RtspTake::kNeedMore;
    buffer->erase(0, 4 + length);
  }
  const size_t end = buffer->find("\r\n\r\n");
  if (end == std::string::npos) {
    if (buffer->size() > kMaxRtspReplyBytes) return RtspTake::kBad;
    // Enough to tell a reply from anything else.
    if (buffer->size() >= 5 && !startsWith(*buffer, "RTSP/"))
      return RtspTake::kBad;
    return RtspTake::kNeedMore;
  }
  if (end > kMaxRtspReplyBytes || !startsWith(*buffer, "RTSP/"))
    return RtspTake::kBad;
  const std::string_view head(buffer->data(), end + 4);
  const int64_t length =
      leadingInteger(findHeaderValue(head, "content-length"), 0);
  if (length < 0 || static_cast<uint64_t>(length) > kMaxRtspReplyBytes)
    return RtspTake::kBad;
  if (buffer->size() < head.size() + static_cast<size_t>(length))
    return RtspTake::kNeedMore;
  reply->ok = true;
  const size_t space = head.find(' ');
  const size_t lineEnd = head.find("\r\n");
  reply->status =
      space != std::string_view::npos && space < lineEnd
          ? static_cast<int32_t>(leadingInteger(head.substr(space + 1), 0))
          : 0;
  reply->headers = std::string(head);
  reply->body = buffer->substr(head.size(), static_cast<size_t>(length));
  buffer->erase(0, head.size() + static_cast<size_t>(length));
  return RtspTake::kTaken;
}

std::string rtspRequestFailure(std::string_view method,
                               const RtspResponse& reply) {
  std::string text(method);
  if (!reply.ok) {
    switch (reply.noReply) {
      case RtspNoReply::kClosed:
        return text + ": no response (the camera closed the connection)";
      case RtspNoReply::kFailed:
        return text + ": no response (the connection failed)";
      case RtspNoReply::kMalformed:
        return text +
               ": no response (the camera's answer is not a valid RTSP reply)";
      case RtspNoReply::kTimedOut:
        break;
    }
    return text + ": no response";
  }
  if (reply.status == 401) return text + ": authentication failed";
  text += " failed: status " + std::to_string(reply.status);
  // The reason phrase of the status line, as the camera wrote it.
  const std::string_view line =
      std::string_view(reply.headers).substr(0, reply.headers.find('\r'));
  const size_t space = line.find(' ');
  const size_t reasonAt =
      space == std::string_view::npos ? space : line.find(' ', space + 1);
  const std::string_view reason = reasonAt == std::string_view::npos
                                      ? std::string_view()
                                      : trim(line.substr(reasonAt + 1));
  if (!reason.empty()) text.append(" (").append(reason).append(")");
  if (reply.status == 461)
    text +=
        ": the camera does not offer RTP interleaved over the RTSP "
        "connection (RTP/AVP/TCP), the one transport this client uses; "
        "enable RTSP over TCP in the camera's settings";
  return text;
}

std::vector<std::string> findHeaderValues(std::string_view headers,
                                          std::string_view name) {
  std::vector<std::string> values;
  const std::string key = lower(name) + ":";
  while (!headers.empty()) {
    const size_t end = headers.find('\n');
    std::string_view line = headers.substr(0, end);
    headers = end == std::string_view::npos ? std::string_view()
                                            : headers.substr(end + 1);
    if (lower(line.substr(0, key.size())) == key)
      values.emplace_back(trim(line.substr(key.size())));
  }
  return values;
}

namespace {

// Where the challenge of `scheme` starts in a WWW-Authenticate value: at
// its start or after a comma or space (a scheme is a token of its own).
size_t findScheme(std::string_view value, std::string_view scheme) {
  const std::string text = lower(value);
  for (size_t at = text.find(scheme); at != std::string::npos;
       at = text.find(scheme, at + 1)) {
    const size_t after = at + scheme.size();
    const bool startOk = at == 0 || text[at - 1] == ' ' || text[at - 1] == ',';
    const bool endOk = after == text.size() || text[after] == ' ';
    if (startOk && endOk) return at;
  }
  return std::string::npos;
}

}  // namespace

bool readChallenge(std::string_view headers, RtspAuth* auth) {
  const std::vector<std::string> challenges =
      findHeaderValues(headers, "WWW-Authenticate");
  for (const std::string& value : challenges) {
    const size_t at = findScheme(value, "digest");
    if (at == std::string::npos) continue;
    const std::string_view digest = std::string_view(value).substr(at + 6);
    auth->scheme = RtspScheme::kDigest;
    auth->realm = findParameter(digest, "realm");
    auth->nonce = findParameter(digest, "nonce");
    auth->qop = findParameter(digest, "qop");
    auth->opaque = findParameter(digest, "opaque");
    auth->algorithm = findParameter(digest, "algorithm");
    return true;
  }
  for (const std::string& value : challenges) {
    const size_t at = findScheme(value, "basic");
    if (at == std::string::npos) continue;
    auth->scheme = RtspScheme::kBasic;
    auth->realm =
        findParameter(std::string_view(value).substr(at + 5), "realm");
    return true;
  }
  return false;
}

std::string buildAuthorization(RtspAuth* auth,
                               std::string_view user,
                               std::string_view password,
                               std::string_view method,
                               std::string_view uri) {
  if ((user.empty() && password.empty()) || auth->scheme == RtspScheme::kNone)
    return "";
  auto join = [](std::initializer_list<std::string_view> parts) {
    std::string text;
    for (std::string_view part : parts) text += part;
    return text;
  };
  if (auth->scheme == RtspScheme::kBasic)
    return "Basic " + base64Encode(join({user, ":", password}));
  const std::string ha1 = md5Hex(join({user, ":", auth->realm, ":", password}));
  const std::string ha2 = md5Hex(join({method, ":", uri}));
  std::string value = join({"Digest username=\"",
                            user,
                            "\", realm=\"",
                            auth->realm,
                            "\", nonce=\"",
                            auth->nonce,
                            "\", uri=\"",
                            uri,
                            "\", response=\""});
  if (!auth->qop.empty()) {
    ++auth->nonceCount;
    char nc[9];
    std::snprintf(nc, sizeof nc, "%08x", auth->nonceCount);
    const std::string cnonce =
        md5Hex(join({auth->nonce, ":", nc})).substr(0, 16);
    value += md5Hex(
        join({ha1, ":", auth->nonce, ":", nc, ":", cnonce, ":auth:", ha2}));
    value += join({"\", qop=auth, nc=", nc, ", cnonce=\"", cnonce, "\""});
  } else {
    value += md5Hex(join({ha1, ":", auth->nonce, ":", ha2})) + "\"";
  }
  if (!auth->opaque.empty()) value += ", opaque=\"" + auth->opaque + "\"";
  if (!auth->algorithm.empty()) value += ", algorithm=" + auth->algorithm;
  return value;
}

std::string resolveControlUrl(std::string_view base,
                              std::string_view control,
                              std::string_view requestUrl) {
  std::string url;
  if (control.empty() || control == "*") {
    url = std::string(base);
  } else if (control.find("://") != std::string_view::npos) {
    url = std::string(control);
  } else {
    while (!base.empty() && base.back() == '/') base.remove_suffix(1);
    while (!control.empty() && control.front() == '/') control.remove_prefix(1);
    url = std::string(base) + "/" + std::string(control);
  }
  if (url.find("://") == std::string::npos) url = std::string(requestUrl);
  return url;
}

namespace {

// The lines of a description that say where and what the video is: the
// session's control, the first video medium's control, rtpmap and fmtp
// (its payload type into `payloadType`).
struct SdpLines {
  std::string sessionControl, videoControl, rtpmap, fmtp;
};

SdpLines readSdpLines(std::string_view sdp, int32_t* payloadType) {
  SdpLines lines;
  bool seenMedia = false, inVideo = false, videoControlSeen = false;
  while (!sdp.empty()) {
    const size_t newline = sdp.find('\n');
    std::string_view line = sdp.substr(0, newline);
    sdp = newline == std::string_view::npos ? std::string_view()
                                            : sdp.substr(newline + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() < 2 || line[1] != '=') continue;
    const char type = line[0];
    const std::string_view value = line.substr(2);
    if (type == 'm') {
      seenMedia = true;
      inVideo = startsWith(value, "video ");
      if (inVideo) {
        const size_t space = value.rfind(' ');
        *payloadType = static_cast<int32_t>(
            leadingInteger(value.substr(space + 1), *payloadType));
      }
    } else if (type == 'a') {
      if (startsWith(value, "control:")) {
        const std::string_view control = trim(value.substr(8));
        if (!seenMedia) {
          lines.sessionControl = std::string(control);
        } else if (inVideo && !videoControlSeen) {
          lines.videoControl = std::string(control);
          videoControlSeen = true;
        }
      } else if (inVideo && startsWith(value, "rtpmap:")) {
        lines.rtpmap = std::string(trim(value.substr(7)));
      } else if (inVideo && startsWith(value, "fmtp:")) {
        lines.fmtp = std::string(trim(value.substr(5)));
      }
    }
  }
  return lines;
}

// The parameter sets are "SPS,PPS": a comma inside the value, which
// findParameter would end at; fmtp parameters end at ";".
void readParameterSets(const std::string& fmtp, SdpVideo* video) {
  std::string sets = findParameter(fmtp, "sprop-parameter-sets");
  if (!sets.empty()) {
    const std::string key = "sprop-parameter-sets=";
    if (const size_t at = fmtp.find(key + sets); at != std::string::npos) {
      const size_t start = at + key.size();
      sets = fmtp.substr(start, fmtp.find_first_of("; \r\n", start) - start);
    }
  }
  if (sets.empty()) return;
  const size_t comma = sets.find(',');
  std::string nal;
  if (base64Decode(sets.substr(0, comma), &nal)) video->sps = nal;
  if (comma != std::string::npos &&
      base64Decode(std::string_view(sets).substr(comma + 1), &nal))
    video->pps = nal;
}

}  // namespace

SdpVideo parseSdp(std::string_view sdp,
                  std::string_view headerBase,
                  std::string_view requestUrl) {
  SdpVideo video;
  const SdpLines lines = readSdpLines(sdp, &video.payloadType);
  const std::string& sessionControl = lines.sessionControl;
  const std::string& rtpmap = lines.rtpmap;
  if (!sessionControl.empty() && sessionControl != "*" &&
      sessionControl.find("://") != std::string::npos)
    video.contentBase = sessionControl;
  else if (!headerBase.empty())
    video.contentBase = std::string(headerBase);
  else
    video.contentBase = std::string(requestUrl);

  const std::string map = lower(rtpmap);
  if (map.find("h264") != std::string::npos)
    video.codec = RtspCodec::kH264;
  else if (map.find("h265") != std::string::npos ||
           map.find("hevc") != std::string::npos)
    video.codec = RtspCodec::kH265;
  if (const size_t slash = rtpmap.find('/'); slash != std::string::npos) {
    const int64_t rate =
        leadingInteger(std::string_view(rtpmap).substr(slash + 1), 0);
    if (rate > 0) video.clockRate = static_cast<int32_t>(rate);
  }
  video.controlUrl =
      resolveControlUrl(video.contentBase, lines.videoControl, requestUrl);
  // A server that offers aggregate control may refuse PLAY on a track
  // ("460 Only aggregate operation allowed").
  video.playUrl = sessionControl.empty()
                      ? video.controlUrl
                      : resolveControlUrl(video.contentBase, "*", requestUrl);
  readParameterSets(lines.fmtp, &video);
  return video;
}

RtspSessionHeader parseSessionHeader(std::string_view value) {
  RtspSessionHeader header;
  const size_t semicolon = value.find(';');
  header.id = std::string(trim(value.substr(0, semicolon)));
  if (semicolon != std::string_view::npos) {
    const std::string timeout =
        findParameter(value.substr(semicolon), "timeout");
    const int64_t seconds = leadingInteger(timeout, -1);
    if (seconds >= 0) header.timeoutSeconds = static_cast<int32_t>(seconds);
  }
  return header;
}

int32_t keepAliveSeconds(int32_t timeoutSeconds) {
  return timeoutSeconds > 5 ? timeoutSeconds * 7 / 10 : 20;
}

bool parseRtpPacket(std::string_view packet, RtpPacket* out) {
  if (packet.size() < 12) return false;
  const auto byte = [&](size_t i) { return uint8_t(packet[i]); };
  if ((byte(0) >> 6) != 2) return false;
  size_t header = 12 + 4 * size_t(byte(0) & 0x0f);
  if (byte(0) & 0x10) {  // extension
    if (packet.size() < header + 4) return false;
    const size_t words = (size_t(byte(header + 2)) << 8) | byte(header + 3);
    header += 4 + 4 * words;
  }
  if (packet.size() < header) return false;
  size_t end = packet.size();
  if (byte(0) & 0x20) {  // padding; a count beyond the payload is ignored
    const size_t padding = byte(packet.size() - 1);
    if (padding <= end - header) end -= padding;
  }
  out->payload = packet.substr(header, end - header);
  out->marker = (byte(1) & 0x80) != 0;
  out->payloadType = byte(1) & 0x7f;
  out->timestamp = (uint32_t(byte(4)) << 24) | (uint32_t(byte(5)) << 16) |
                   (uint32_t(byte(6)) << 8) | uint32_t(byte(7));
  return true;
}

}  // namespace pxo
