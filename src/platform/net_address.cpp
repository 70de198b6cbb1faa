#include "platform/net_address.h"

namespace pxo::platform {

HostAndPort splitHostAddress(std::string_view address,
                             std::string_view defaultPort) {
  while (!address.empty() &&
         (address.front() == ' ' || address.front() == '\t'))
    address.remove_prefix(1);
  while (!address.empty() && (address.back() == ' ' || address.back() == '\t' ||
                              address.back() == '/'))
    address.remove_suffix(1);
  if (size_t scheme = address.find("://"); scheme != std::string_view::npos)
    address.remove_prefix(scheme + 3);

  HostAndPort result;
  if (size_t colon = address.find(':'); colon != std::string_view::npos) {
    result.host = address.substr(0, colon);
    result.port = address.substr(colon + 1);
  } else {
    result.host = address;
    result.port = defaultPort;
  }
  return result;
}

}  // namespace pxo::platform
