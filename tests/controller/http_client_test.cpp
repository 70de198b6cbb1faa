#include "controller/http_client.h"

#include "sim/http_server.h"
#include "sim/loopback.h"

#include <chrono>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

namespace pxo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A peer that records the last request and answers as told.
class HttpPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    address = sim::nextLoopbackAddress();
    std::string error;
    ASSERT_TRUE(server.start(
        address,
        0,
        [this](const sim::HttpRequest& request) {
          std::lock_guard lock(mutex);
          lastRequest = request;
          return reply;
        },
        &error))
        << error;
  }
  std::string url() const {
    return address + ":" + std::to_string(server.port());
  }

  void answer(sim::HttpReply r) {
    std::lock_guard lock(mutex);
    reply = std::move(r);
  }
  sim::HttpRequest last() {
    std::lock_guard lock(mutex);
    return lastRequest;
  }

  std::mutex mutex;
  std::string address;
  sim::HttpServer server;
  sim::HttpRequest lastRequest;
  sim::HttpReply reply = sim::HttpReply::json(200, "{\"a\":1}");
};

TEST_F(HttpPeer, AddressFormsReachTheSameServer) {
  for (const std::string& typed : {url(),
                                   "  \thttp://" + url() + "/",
                                   "http://" + url() + "///",
                                   "fpp://" + url()}) {
    HttpResponse response;
    httpRequest(&response, typed, "GET", "/api/system/info", "", "", "", "");
    ASSERT_TRUE(response.ok) << "'" << typed << "'";
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "{\"a\":1}");
    EXPECT_EQ(last().header("host"), address)
        << "the Host line carries no port";
    EXPECT_EQ(last().path, "/api/system/info");
    EXPECT_EQ(last().header("authorization"), "");
  }
}

TEST_F(HttpPeer, PostsBodyWithHeaders) {
  HttpResponse response;
  httpRequest(
      &response, url(), "POST", "/x", "{\"k\":\"v\"}", "", "admin", "pw");
  ASSERT_TRUE(response.ok);
  EXPECT_EQ(last().method, "POST");
  EXPECT_EQ(last().body, "{\"k\":\"v\"}");
  EXPECT_EQ(last().header("content-type"), "application/json");
  EXPECT_EQ(last().header("content-length"), "9");
  EXPECT_EQ(last().header("authorization"), "Basic YWRtaW46cHc=");
  EXPECT_EQ(last().header("user-agent"), "Pixoria");
  EXPECT_EQ(last().header("connection"), "close");

  httpRequest(&response,
              url(),
              "POST",
              "/soap",
              "<x/>",
              "application/soap+xml",
              "",
              "");
  EXPECT_EQ(last().header("content-type"), "application/soap+xml");
}

TEST_F(HttpPeer, ChunkedAnswersAreJoined) {
  sim::HttpReply chunked =
      sim::HttpReply::json(200, std::string(300, 'x') + "tail");
  chunked.chunked = true;
  answer(chunked);
  HttpResponse response;
  httpRequest(&response, url(), "GET", "/", "", "", "", "");
  ASSERT_TRUE(response.ok);
  EXPECT_EQ(response.body, chunked.body);
}

TEST_F(HttpPeer, FailuresLeaveOkFalse) {
  HttpLimits quick;
  quick.total = 400ms;
  quick.connectPerAddress = 200ms;

  sim::HttpReply garbage;
  garbage.raw = true;
  garbage.body = "SSH-2.0-OpenSSH_9.2\r\n\r\n{\"a\":1}";
  answer(garbage);
  HttpResponse response;
  httpRequest(&response, url(), "GET", "/", "", "", "", "", quick);
  EXPECT_FALSE(response.ok);
  EXPECT_EQ(response.status, 0);
  EXPECT_EQ(response.body, "");

  // Accepted, never answered: the overall limit ends it.
  sim::HttpReply silent;
  silent.neverAnswer = true;
  answer(silent);
  auto start = Clock::now();
  httpRequest(&response, url(), "GET", "/", "", "", "", "", quick);
  EXPECT_FALSE(response.ok);
  EXPECT_GE(Clock::now() - start, 400ms);
  EXPECT_LT(Clock::now() - start, 5s);

  // More than the size limit.
  answer(sim::HttpReply::json(200, std::string(5000, 'x')));
  HttpLimits small;
  small.maxResponseBytes = 4000;
  httpRequest(&response, url(), "GET", "/", "", "", "", "", small);
  EXPECT_FALSE(response.ok);
  small.maxResponseBytes = 6000;
  httpRequest(&response, url(), "GET", "/", "", "", "", "", small);
  EXPECT_TRUE(response.ok);

  // Nobody listening on that port any more.
  std::string gone = url();
  server.stop();
  httpRequest(&response, gone, "GET", "/", "", "", "", "", quick);
  EXPECT_FALSE(response.ok);
  httpRequest(&response, "", "GET", "/", "", "", "", "", quick);
  EXPECT_FALSE(response.ok);
}

TEST_F(HttpPeer, ACutShortBodyKeepsWhatArrived) {
  sim::HttpReply cut = sim::HttpReply::json(200, "0123456789");
  cut.cutShort = true;
  answer(cut);
  HttpResponse response;
  httpRequest(&response, url(), "GET", "/", "", "", "", "");
  ASSERT_TRUE(response.ok);
  EXPECT_EQ(response.body, "01234");
}

TEST(BuildHttpRequest, ExactText) {
  EXPECT_EQ(buildHttpRequest("fpp", "GET", "/api/system/info", "", "", "", ""),
            "GET /api/system/info HTTP/1.1\r\nHost: fpp\r\nUser-Agent: "
            "Pixoria\r\nAccept: application/json\r\nConnection: close\r\n\r\n");
  // An empty user with a password still authorises, as ":" + password.
  EXPECT_EQ(buildHttpRequest("h", "DELETE", "/f", "", "", "", "secret"),
            "DELETE /f HTTP/1.1\r\nHost: h\r\nUser-Agent: Pixoria\r\nAccept: "
            "application/json\r\nAuthorization: Basic OnNlY3JldA==\r\n"
            "Connection: close\r\n\r\n");
  EXPECT_EQ(
      buildHttpRequest("h", "POST", "/p", "ab", "", "u", ""),
      "POST /p HTTP/1.1\r\nHost: h\r\nUser-Agent: Pixoria\r\nAccept: "
      "application/json\r\nAuthorization: Basic dTo=\r\nContent-Type: "
      "application/json\r\nContent-Length: 2\r\nConnection: close\r\n\r\nab");
}

TEST(ParseHttpResponse, StatusHeadersAndBody) {
  HttpResponse r;
  parseHttpResponse("HTTP/1.1 404 Not Found\r\nX: y\r\n\r\nbody", &r);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body, "body");
  parseHttpResponse("HTTP/1.0 200\r\nno end of headers", &r);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "");
  parseHttpResponse("HTTP/1.1 2x3 odd\r\n\r\n", &r);
  EXPECT_EQ(r.status, 2);
  for (const char* bad : {"",
                          "HTTP/1.1",
                          "http/1.1 200 OK\r\n\r\n",
                          "<html>HTTP/1.1 200 OK</html>"}) {
    parseHttpResponse(bad, &r);
    EXPECT_FALSE(r.ok) << bad;
    EXPECT_EQ(r.body, "");
  }
}

TEST(ParseHttpResponse, ChunkedBodies) {
  std::string chunked = "1a\r\n" + std::string(26, 'a') +
                        "\r\n5;name=value\r\n" +
                        "bcdef\r\n0\r\nTrailer: x\r\n\r\n";
  HttpResponse r;
  parseHttpResponse(
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked, &r);
  EXPECT_EQ(r.body, std::string(26, 'a') + "bcdef");
  // The header is found in any letter case, but only with one space.
  parseHttpResponse(
      "HTTP/1.1 200 OK\r\nTRANSFER-ENCODING: Chunked\r\n\r\n" + chunked, &r);
  EXPECT_EQ(r.body.size(), 31u);
  parseHttpResponse(
      "HTTP/1.1 200 OK\r\nTransfer-Encoding:chunked\r\n\r\n" + chunked, &r);
  EXPECT_EQ(r.body, chunked);
}

TEST(DechunkHttpBody, BrokenChunksKeepWhatIsWhole) {
  EXPECT_EQ(dechunkHttpBody("3\r\nabc\r\n0\r\n\r\n"), "abc");
  EXPECT_EQ(dechunkHttpBody("3\r\nabc\r\n5\r\nde"), "abcde");  // cut short
  EXPECT_EQ(dechunkHttpBody("zz\r\nabc"), "");                 // not a size
  EXPECT_EQ(dechunkHttpBody("3\r\nabc"), "abc");               // no CR LF after
  EXPECT_EQ(dechunkHttpBody("3"), "");
  EXPECT_EQ(dechunkHttpBody("ffffffffffffffffffffff\r\nabc"), "abc");
}

}  // namespace
}  // namespace pxo
