#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

// A minimal blocking HTTP/1.1 client: one request per connection, the whole
// answer read until the peer closes, chunked bodies undone. No redirects, no
// proxies, no TLS, no response headers handed back. Used for the
// controller's JSON API and for camera SOAP calls.
//
// Every request is bounded: connecting to each address, and the request as
// a whole, have time limits, and an answer larger than a size limit is
// refused. Calls are independent and may run on several threads at once.
//
//   HttpResponse response;
//   httpRequest(&response, "http://fpp.local/", "GET", "/api/system/info",
//               "", "", user, password);
//   if (response.ok && response.status == 200) use(response.body);

namespace pxo {

struct HttpResponse {
  bool ok = false;     // an answer with a status line arrived and parsed
  int32_t status = 0;  // 0 when not ok
  std::string body;    // de-chunked; empty when not ok
};

struct HttpLimits {
  std::chrono::milliseconds connectPerAddress{5000};
  std::chrono::milliseconds total{15000};
  size_t maxResponseBytes = size_t{64} << 20;
};

// Sends one request to `address` ("host", "host:port", optionally with a
// scheme and trailing slashes; port 80 by default). `contentType` is used
// only with a body ("application/json" when empty). With a user or a
// password, Basic authorization is sent. Every failure (lookup, connect,
// send, time limit, size limit, an answer that is not HTTP) leaves `ok`
// false.
void httpRequest(HttpResponse* out,
                 std::string_view address,
                 std::string_view method,
                 std::string_view path,
                 std::string_view body,
                 std::string_view contentType,
                 std::string_view user,
                 std::string_view password,
                 const HttpLimits& limits = HttpLimits{});

// The request text httpRequest sends to `host`.
std::string buildHttpRequest(std::string_view host,
                             std::string_view method,
                             std::string_view path,
                             std::string_view body,
                             std::string_view contentType,
                             std::string_view user,
                             std::string_view password);

// Parses a complete answer: status from the status line, body after the
// header block, de-chunked when the headers say "transfer-encoding: chunked".
// `ok` stays false when the text does not begin with "HTTP/" and a space.
void parseHttpResponse(std::string_view raw, HttpResponse* out);

// The data of the complete chunks of a chunked body; extensions and
// trailers are ignored, a cut-short chunk keeps what arrived.
std::string dechunkHttpBody(std::string_view body);

}  // namespace pxo
