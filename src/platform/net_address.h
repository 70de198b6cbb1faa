#pragma once

#include <string>
#include <string_view>

namespace pxo::platform {

// A controller or camera address as the user typed it, split into the host
// and the port text.
struct HostAndPort {
  std::string host;
  std::string port;
};

// Splits an address such as "  http://fpp.local:8080/" into host "fpp.local"
// and port "8080". Leading blanks and tabs and trailing blanks, tabs and
// slashes are dropped, then everything up to and including the first "://".
// The host is the text before the first ":" and the port the text after it;
// without a ":" the port is `defaultPort`. IPv6 literals are not supported
// (their first ":" splits them). Every network client shares this rule so
// that an address accepted by one is accepted by all.
HostAndPort splitHostAddress(std::string_view address,
                             std::string_view defaultPort);

}  // namespace pxo::platform
