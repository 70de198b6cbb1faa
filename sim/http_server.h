#pragma once

#include "platform/socket.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// A small HTTP/1.1 server for simulated devices and test peers: one request
// per connection, answered and closed. The handler runs on the
// connection's own thread and may answer with raw bytes or not at all, so
// tests can produce every kind of broken peer.

namespace pxo::sim {

struct HttpRequest {
  std::string method;
  std::string path;
  std::map<std::string, std::string> headers;  // names lower-cased
  std::string body;

  std::string header(const std::string& lowerName) const;
};

struct HttpReply {
  int status = 200;
  std::string contentType = "application/json; charset=utf-8";
  std::string body;
  bool chunked = false;      // send the body in chunks with an extension
  bool raw = false;          // send `body` as it is, nothing added
  bool neverAnswer = false;  // read the request, then stay silent
  bool cutShort = false;     // announce the whole body, send half of it

  static HttpReply json(int status, std::string body);
  static HttpReply html(int status, std::string body);
};

using HttpHandler = std::function<HttpReply(const HttpRequest&)>;

// Parses a request's header block (up to, not including, the empty line).
// False for one without a method, a path and an HTTP version.
[[nodiscard]] bool parseHttpRequestHead(std::string_view head,
                                        HttpRequest* out);

class HttpServer {
 public:
  HttpServer() = default;
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Listens on `address`:`port` (0 picks a free port) and serves until
  // stop(). False with a message when the address cannot be bound.
  [[nodiscard]] bool start(const std::string& address,
                           uint16_t port,
                           HttpHandler handler,
                           std::string* error);
  // Stops listening, wakes silent handlers and joins every thread.
  void stop();
  uint16_t port() const { return port_; }

 private:
  struct Connection {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  void acceptLoop();
  void serve(platform::TcpStream stream);
  // Joins the connection threads that have finished.
  void reapFinished();

  platform::TcpListener listener_;
  HttpHandler handler_;
  uint16_t port_ = 0;
  std::atomic<bool> running_{false};
  std::thread acceptThread_;
  std::mutex connectionsMutex_;
  std::vector<Connection> connections_;
};

}  // namespace pxo::sim
