#include "platform/net_address.h"

#include <gtest/gtest.h>

namespace pxo::platform {
namespace {

TEST(SplitHostAddress, AsTheUserMayTypeIt) {
  struct Case {
    const char* typed;
    const char* host;
    const char* port;
  };
  const Case cases[] = {
      {"fpp.local", "fpp.local", "80"},
      {"  \thttp://fpp.local:8080/", "fpp.local", "8080"},
      {"192.168.1.20:81//", "192.168.1.20", "81"},
      {"https://fpp", "fpp", "80"},
      {"fpp/ \t", "fpp", "80"},
      {"a://b://c", "b", "//c"},  // only the first scheme is dropped
      {"host:", "host", ""},
      {"", "", "80"},
      // Trailing slashes go first, so a bare scheme is left as a host.
      {"http://", "http", ""},
  };
  for (const Case& c : cases) {
    HostAndPort split = splitHostAddress(c.typed, "80");
    EXPECT_EQ(split.host, c.host) << "'" << c.typed << "'";
    EXPECT_EQ(split.port, c.port) << "'" << c.typed << "'";
  }
}

}  // namespace
}  // namespace pxo::platform
