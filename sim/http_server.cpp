#include "sim/http_server.h"

#include <algorithm>
#include <cctype>

namespace pxo::sim {

namespace {

using namespace std::chrono_literals;

constexpr size_t kMaxHead = size_t{64} * 1024;
constexpr size_t kMaxBody = 16 << 20;
constexpr auto kRequestTime = 10s;
constexpr size_t kMaxConnections = 64;

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) {
    return std::tolower(c);
  });
  return out;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

const char* reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 401:
      return "Unauthorized";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

std::string renderReply(const HttpReply& reply, size_t bodyBytes) {
  std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " +
                     reason(reply.status) + "\r\n";
  head += "Server: Apache\r\n";
  head += "Content-Type: " + reply.contentType + "\r\n";
  if (reply.status == 401)
    head += "WWW-Authenticate: Basic realm=\"Falcon Player\"\r\n";
  if (reply.chunked)
    head += "Transfer-Encoding: chunked\r\n";
  else
    head += "Content-Length: " + std::to_string(bodyBytes) + "\r\n";
  head += "Connection: close\r\n\r\n";
  return head;
}

std::string chunk(std::string_view body) {
  // Two chunks, the first with an extension, then the terminating one.
  std::string out;
  size_t half = body.size() / 2;
  auto hex = [](size_t n) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%zx", n);
    return std::string(buffer);
  };
  if (half > 0)
    out +=
        hex(half) + ";ext=1\r\n" + std::string(body.substr(0, half)) + "\r\n";
  if (body.size() > half)
    out += hex(body.size() - half) + "\r\n" + std::string(body.substr(half)) +
           "\r\n";
  out += "0\r\n\r\n";
  return out;
}

}  // namespace

std::string HttpRequest::header(const std::string& lowerName) const {
  auto it = headers.find(lowerName);
  return it == headers.end() ? std::string() : it->second;
}

HttpReply HttpReply::json(int status, std::string body) {
  HttpReply reply;
  reply.status = status;
  reply.body = std::move(body);
  return reply;
}

HttpReply HttpReply::html(int status, std::string body) {
  HttpReply reply;
  reply.status = status;
  reply.contentType = "text/html; charset=utf-8";
  reply.body = std::move(body);
  return reply;
}

bool parseHttpRequestHead(std::string_view head, HttpRequest* out) {
  *out = HttpRequest{};
  size_t lineEnd = head.find("\r\n");
  std::string_view requestLine = head.substr(0, lineEnd);
  size_t first = requestLine.find(' ');
  if (first == std::string_view::npos || first == 0) return false;
  size_t second = requestLine.find(' ', first + 1);
  if (second == std::string_view::npos || second == first + 1) return false;
  if (requestLine.substr(second + 1).rfind("HTTP/", 0) != 0) return false;
  out->method = requestLine.substr(0, first);
  out->path = requestLine.substr(first + 1, second - first - 1);

  size_t at = lineEnd == std::string_view::npos ? head.size() : lineEnd + 2;
  while (at < head.size()) {
    size_t end = head.find("\r\n", at);
    if (end == std::string_view::npos) end = head.size();
    std::string_view line = head.substr(at, end - at);
    size_t colon = line.find(':');
    if (colon != std::string_view::npos && colon > 0)
      out->headers[lower(trim(line.substr(0, colon)))] =
          std::string(trim(line.substr(colon + 1)));
    at = end + 2;
  }
  return true;
}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::start(const std::string& address,
                       uint16_t port,
                       HttpHandler handler,
                       std::string* error) {
  platform::SocketAddress local;
  if (!platform::makeIPv4Address(address, port, &local)) {
    if (error) *error = "bad listen address " + address;
    return false;
  }
  listener_ = platform::TcpListener::listen(local, 16, error);
  if (!listener_.valid()) return false;
  port_ = listener_.localAddress().port();
  handler_ = std::move(handler);
  running_ = true;
  acceptThread_ = std::thread(&HttpServer::acceptLoop, this);
  return true;
}

void HttpServer::stop() {
  running_ = false;
  if (acceptThread_.joinable()) acceptThread_.join();
  std::vector<Connection> connections;
  {
    std::lock_guard lock(connectionsMutex_);
    connections.swap(connections_);
  }
  for (Connection& c : connections) c.thread.join();
  listener_.close();
}

void HttpServer::acceptLoop() {
  while (running_) {
    platform::TcpStream stream =
        listener_.accept(platform::Clock::now() + 50ms);
    if (!stream.valid()) continue;
    reapFinished();
    std::lock_guard lock(connectionsMutex_);
    if (connections_.size() >= kMaxConnections) continue;  // drops it
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([this, done, s = std::move(stream)]() mutable {
      serve(std::move(s));
      done->store(true);
    });
    connections_.push_back({std::move(thread), std::move(done)});
  }
}

void HttpServer::reapFinished() {
  std::lock_guard lock(connectionsMutex_);
  auto finished = std::partition(
      connections_.begin(), connections_.end(), [](const Connection& c) {
        return !c.done->load();
      });
  for (auto it = finished; it != connections_.end(); ++it) it->thread.join();
  connections_.erase(finished, connections_.end());
}

void HttpServer::serve(platform::TcpStream stream) {
  const auto deadline = platform::Clock::now() + kRequestTime;
  std::string received;
  char buffer[4096];
  size_t headEnd = std::string::npos;
  while (headEnd == std::string::npos && received.size() < kMaxHead) {
    long n = stream.receive(buffer, sizeof buffer, deadline);
    if (n <= 0) return;
    received.append(buffer, static_cast<size_t>(n));
    headEnd = received.find("\r\n\r\n");
  }
  HttpRequest request;
  if (headEnd == std::string::npos ||
      !parseHttpRequestHead(std::string_view(received).substr(0, headEnd),
                            &request))
    return;
  size_t length = 0;
  if (std::string cl = request.header("content-length"); !cl.empty())
    length = std::min<size_t>(std::strtoull(cl.c_str(), nullptr, 10), kMaxBody);
  request.body = received.substr(headEnd + 4);
  while (request.body.size() < length) {
    long n = stream.receive(buffer, sizeof buffer, deadline);
    if (n <= 0) return;
    request.body.append(buffer, static_cast<size_t>(n));
  }
  request.body.resize(std::min(request.body.size(), length));

  HttpReply reply = handler_(request);
  if (reply.neverAnswer) {
    // Hold the connection open until the server stops.
    while (running_) std::this_thread::sleep_for(20ms);
    return;
  }
  std::string out;
  if (reply.raw) {
    out = reply.body;
  } else if (reply.chunked) {
    out = renderReply(reply, 0) + chunk(reply.body);
  } else if (reply.cutShort) {
    out = renderReply(reply, reply.body.size()) +
          reply.body.substr(0, reply.body.size() / 2);
  } else {
    out = renderReply(reply, reply.body.size()) + reply.body;
  }
  (void)stream.sendAll(out.data(), out.size(), deadline);
}

}  // namespace pxo::sim
