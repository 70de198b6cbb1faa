#include "controller/http_client.h"

#include "codec/base64.h"
#include "platform/net_address.h"
#include "platform/socket.h"

#include <algorithm>
#include <cctype>

namespace pxo {

namespace {

constexpr char kDefaultPort[] = "80";
constexpr size_t kReceiveChunk = 4096;

size_t leadingHex(std::string_view text, size_t* value) {
  size_t n = 0;
  size_t result = 0;
  for (; n < text.size(); ++n) {
    char c = text[n];
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
    if (digit < 0) break;
    // A size beyond any body ends the parse below anyway; do not overflow.
    if (result > (SIZE_MAX >> 4)) result = SIZE_MAX >> 4;
    result = result * 16 + static_cast<size_t>(digit);
  }
  *value = result;
  return n;
}

}  // namespace

std::string buildHttpRequest(std::string_view host,
                             std::string_view method,
                             std::string_view path,
                             std::string_view body,
                             std::string_view contentType,
                             std::string_view user,
                             std::string_view password) {
  std::string request;
  request.reserve(256 + body.size());
  request.append(method).append(" ").append(path).append(" HTTP/1.1\r\n");
  request.append("Host: ").append(host).append("\r\n");
  request.append("User-Agent: Pixoria\r\n");
  request.append("Accept: application/json\r\n");
  if (!user.empty() || !password.empty()) {
    std::string credentials = std::string(user) + ":" + std::string(password);
    request.append("Authorization: Basic ")
        .append(base64Encode(credentials))
        .append("\r\n");
  }
  if (!body.empty()) {
    request.append("Content-Type: ")
        .append(contentType.empty() ? "application/json" : contentType)
        .append("\r\n");
    request.append("Content-Length: ")
        .append(std::to_string(body.size()))
        .append("\r\n");
  }
  request.append("Connection: close\r\n\r\n");
  request.append(body);
  return request;
}

std::string dechunkHttpBody(std::string_view body) {
  std::string out;
  size_t position = 0;
  while (body.size() - position >= 2) {
    size_t lineEnd = body.find("\r\n", position);
    if (lineEnd == std::string_view::npos) break;
    size_t size = 0;
    leadingHex(body.substr(position, lineEnd - position), &size);
    if (size < 1) break;
    size_t data = lineEnd + 2;
    if (size > body.size() - data) {
      out.append(body.substr(data));
      break;
    }
    out.append(body.substr(data, size));
    position = std::min(body.size(), data + size + 2);
  }
  return out;
}

void parseHttpResponse(std::string_view raw, HttpResponse* out) {
  *out = HttpResponse{};
  if (raw.substr(0, 5) != "HTTP/") return;
  size_t space = raw.find(' ');
  if (space == std::string_view::npos) return;
  int64_t status = 0;
  for (size_t i = space + 1; i < raw.size() && std::isdigit(uint8_t(raw[i]));
       ++i)
    status = std::min<int64_t>(status * 10 + (raw[i] - '0'), 999999);
  out->status = static_cast<int32_t>(status);

  size_t headerEnd = raw.find("\r\n\r\n");
  std::string_view headers = raw;
  std::string_view body;
  if (headerEnd != std::string_view::npos) {
    headers = raw.substr(0, headerEnd);
    body = raw.substr(headerEnd + 4);
  }
  std::string lower(headers);
  std::transform(
      lower.begin(), lower.end(), lower.begin(), [](unsigned char c) {
        return std::tolower(c);
      });
  if (lower.find("transfer-encoding: chunked") != std::string::npos)
    out->body = dechunkHttpBody(body);
  else
    out->body = body;
  out->ok = true;
}

void httpRequest(HttpResponse* out,
                 std::string_view address,
                 std::string_view method,
                 std::string_view path,
                 std::string_view body,
                 std::string_view contentType,
                 std::string_view user,
                 std::string_view password,
                 const HttpLimits& limits) {
  *out = HttpResponse{};
  platform::startNetworking();
  const platform::Deadline deadline = platform::Clock::now() + limits.total;
  platform::HostAndPort target =
      platform::splitHostAddress(address, kDefaultPort);
  platform::TcpStream stream = platform::TcpStream::connect(
      target.host, target.port, limits.connectPerAddress, deadline);
  if (!stream.valid()) return;

  std::string request = buildHttpRequest(
      target.host, method, path, body, contentType, user, password);
  if (!stream.sendAll(request.data(), request.size(), deadline)) return;

  std::string received;
  char buffer[kReceiveChunk];
  for (;;) {
    long n = stream.receive(buffer, sizeof buffer, deadline);
    if (n == platform::kSocketTimedOut) return;
    if (n <= 0) break;  // closed, or reset: parse what arrived
    if (received.size() + static_cast<size_t>(n) > limits.maxResponseBytes)
      return;
    received.append(buffer, static_cast<size_t>(n));
  }
  stream.close();
  parseHttpResponse(received, out);
}

}  // namespace pxo
