// platform/socket.h out of the BSD socket calls POSIX and Winsock share.
// What differs between them (errors, non-blocking mode, waiting, closing,
// inheritance, start-up) is behind bsd/native_socket.h. TCP sockets are
// non-blocking and every wait goes through native::waitFor with the
// caller's deadline; UDP sockets block for sends and wait for receives.

#include "platform/bsd/native_socket.h"
#include "platform/socket.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace pxo::platform {

static_assert(sizeof(sockaddr_storage) <= sizeof(SocketAddress::storage));

namespace {

const sockaddr* asSockaddr(const SocketAddress& address) {
  return reinterpret_cast<const sockaddr*>(address.storage.data());
}

void setError(std::string* error, std::string message) {
  if (error) *error = std::move(message);
}

std::string lastErrorText() { return native::errorText(native::lastError()); }

// The new socket for `family`, `type` and `protocol`; kInvalidSocket and
// the reason in `error` when the OS gave none.
NativeSocket openSocket(int family,
                        int type,
                        int protocol,
                        std::string* error) {
  const NativeSocket socket = native::openSocket(family, type, protocol);
  if (socket == kInvalidSocket)
    setError(error, "could not create socket: " + lastErrorText());
  return socket;
}

void closeHandle(NativeSocket& handle) {
  if (handle != kInvalidSocket) {
    native::closeSocket(handle);
    handle = kInvalidSocket;
  }
}

SocketAddress localAddressOf(NativeSocket handle) {
  SocketAddress result;
  if (handle == kInvalidSocket) return result;
  sockaddr_storage local{};
  native::AddressLength length = sizeof local;
  if (::getsockname(native::raw(handle),
                    reinterpret_cast<sockaddr*>(&local),
                    &length) == 0) {
    std::memcpy(result.storage.data(), &local, static_cast<size_t>(length));
    result.length = static_cast<int32_t>(length);
  }
  return result;
}

}  // namespace

std::string SocketAddress::toString() const {
  if (length == 0) return {};
  char host[INET6_ADDRSTRLEN] = {};
  const sockaddr* raw = asSockaddr(*this);
  if (raw->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(raw);
    ::inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(v4->sin_port));
  }
  if (raw->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(raw);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
    std::string text = "[";
    text.append(host).append("]:").append(std::to_string(ntohs(v6->sin6_port)));
    return text;
  }
  return {};
}

uint16_t SocketAddress::port() const {
  const sockaddr* raw = asSockaddr(*this);
  if (length == 0) return 0;
  if (raw->sa_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in*>(raw)->sin_port);
  if (raw->sa_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6*>(raw)->sin6_port);
  return 0;
}

bool resolveAddress(std::string_view host,
                    std::string_view service,
                    AddressFamily family,
                    SocketType type,
                    std::vector<ResolvedAddress>* out,
                    std::string* error) {
  out->clear();
  if (host.empty()) {
    setError(error, "empty host name");
    return false;
  }
  startNetworking();
  addrinfo hints{};
  hints.ai_family = family == AddressFamily::kIPv4 ? AF_INET : AF_UNSPEC;
  hints.ai_socktype = type == SocketType::kStream ? SOCK_STREAM : SOCK_DGRAM;
  addrinfo* list = nullptr;
  const std::string hostText(host);
  const std::string serviceText(service);
  // On Windows the narrow form reads the host in the ANSI code page; names
  // are ASCII (or punycode) in practice, and digits always are.
  const int rc =
      ::getaddrinfo(hostText.c_str(), serviceText.c_str(), &hints, &list);
  if (rc != 0) {
    setError(
        error,
        "could not resolve " + hostText + ": " + native::resolverErrorText(rc));
    return false;
  }
  for (addrinfo* it = list; it; it = it->ai_next) {
    if (it->ai_addrlen > sizeof(sockaddr_storage)) continue;
    ResolvedAddress entry;
    std::memcpy(entry.address.storage.data(), it->ai_addr, it->ai_addrlen);
    entry.address.length = static_cast<int32_t>(it->ai_addrlen);
    entry.family = it->ai_family;
    entry.type = it->ai_socktype;
    entry.protocol = it->ai_protocol;
    out->push_back(entry);
  }
  ::freeaddrinfo(list);
  if (out->empty()) {
    setError(error, "no address for " + hostText);
    return false;
  }
  return true;
}

bool makeIPv4Address(std::string_view dottedQuad,
                     uint16_t port,
                     SocketAddress* out) {
  startNetworking();
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_port = htons(port);
  const std::string text(dottedQuad);
  if (::inet_pton(AF_INET, text.c_str(), &v4.sin_addr) != 1) return false;
  *out = SocketAddress{};
  std::memcpy(out->storage.data(), &v4, sizeof v4);
  out->length = sizeof v4;
  return true;
}

// ---------------------------------------------------------------- TcpStream

TcpStream::~TcpStream() { close(); }

TcpStream::TcpStream(TcpStream&& other) noexcept
    : handle_(std::exchange(other.handle_, kInvalidSocket)) {}

TcpStream& TcpStream::operator=(TcpStream&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, kInvalidSocket);
  }
  return *this;
}

void TcpStream::close() { closeHandle(handle_); }

TcpStream TcpStream::connect(const ResolvedAddress& to,
                             Deadline deadline,
                             std::string* error) {
  const NativeSocket socket =
      openSocket(to.family, to.type, to.protocol, error);
  if (socket == kInvalidSocket) return {};
  TcpStream stream(socket);
  if (!native::setNonBlocking(socket)) {
    setError(error, "could not make socket non-blocking");
    return {};
  }
  const long started = native::startConnect(socket, to.address);
  if (started == 0) return stream;
  if (started != native::kWouldBlock) {
    setError(error, "could not connect: " + lastErrorText());
    return {};
  }
  const int ready = native::waitFor(socket, true, deadline);
  if (ready == 0) {
    setError(error, "connect timed out");
    return {};
  }
  const int code = native::connectError(socket);
  if (ready < 0 || code != 0) {
    setError(error,
             "could not connect: " +
                 native::errorText(code ? code : native::lastError()));
    return {};
  }
  return stream;
}

TcpStream TcpStream::connect(std::string_view host,
                             std::string_view port,
                             std::chrono::milliseconds perAddress,
                             Deadline deadline,
                             std::string* error) {
  std::vector<ResolvedAddress> addresses;
  if (!resolveAddress(host,
                      port,
                      AddressFamily::kAny,
                      SocketType::kStream,
                      &addresses,
                      error))
    return {};
  for (const ResolvedAddress& address : addresses) {
    if (Clock::now() >= deadline) {
      setError(error, "connect timed out");
      break;
    }
    const Deadline limit = std::min(deadline, Clock::now() + perAddress);
    TcpStream stream = connect(address, limit, error);
    if (stream.valid()) return stream;
  }
  return {};
}

bool TcpStream::sendAll(const void* data,
                        size_t size,
                        Deadline deadline) const {
  if (!valid()) return false;
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t sent = 0;
  while (sent < size) {
    const long n = native::sendSome(handle_, bytes + sent, size - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n != native::kWouldBlock) return false;
    if (native::waitFor(handle_, true, deadline) <= 0) return false;
  }
  return true;
}

long TcpStream::receive(void* buffer,
                        size_t capacity,
                        Deadline deadline) const {
  if (!valid()) return kSocketFailed;
  for (;;) {
    const long n = native::receiveSome(handle_, buffer, capacity);
    if (n >= 0) return n;
    if (n != native::kWouldBlock) return kSocketFailed;
    const int ready = native::waitFor(handle_, false, deadline);
    if (ready == 0) return kSocketTimedOut;
    if (ready < 0) return kSocketFailed;
  }
}

// -------------------------------------------------------------- TcpListener

TcpListener::~TcpListener() { close(); }

TcpListener::TcpListener(TcpListener&& other) noexcept
    : handle_(std::exchange(other.handle_, kInvalidSocket)) {}

TcpListener& TcpListener::operator=(TcpListener&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, kInvalidSocket);
  }
  return *this;
}

void TcpListener::close() { closeHandle(handle_); }

TcpListener TcpListener::listen(const SocketAddress& local,
                                int backlog,
                                std::string* error) {
  const NativeSocket socket =
      openSocket(asSockaddr(local)->sa_family, SOCK_STREAM, 0, error);
  if (socket == kInvalidSocket) return {};
  TcpListener listener(socket);
  native::prepareListener(socket);
  if (!native::setNonBlocking(socket) ||
      ::bind(native::raw(socket),
             asSockaddr(local),
             static_cast<native::AddressLength>(local.length)) != 0 ||
      ::listen(native::raw(socket), backlog) != 0) {
    setError(
        error,
        "could not listen on " + local.toString() + ": " + lastErrorText());
    return {};
  }
  return listener;
}

SocketAddress TcpListener::localAddress() const {
  return localAddressOf(handle_);
}

TcpStream TcpListener::accept(Deadline deadline) const {
  if (!valid()) return {};
  for (;;) {
    NativeSocket accepted = kInvalidSocket;
    const long taken = native::acceptOne(handle_, &accepted);
    if (taken == 0) return TcpStream(accepted);
    if (taken == native::kRetry) continue;
    if (taken != native::kWouldBlock) return {};
    if (native::waitFor(handle_, false, deadline) <= 0) return {};
  }
}

// ---------------------------------------------------------------- UdpSocket

UdpSocket::~UdpSocket() { close(); }

UdpSocket::UdpSocket(UdpSocket&& other) noexcept
    : handle_(std::exchange(other.handle_, kInvalidSocket)) {}

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, kInvalidSocket);
  }
  return *this;
}

void UdpSocket::close() { closeHandle(handle_); }

UdpSocket UdpSocket::open(const ResolvedAddress& like, std::string* error) {
  const NativeSocket socket =
      openSocket(like.family, like.type, like.protocol, error);
  if (socket == kInvalidSocket) return {};
  native::prepareDatagram(socket);
  return UdpSocket(socket);
}

UdpSocket UdpSocket::bind(const SocketAddress& local, std::string* error) {
  return bindUdp(local, false, error);
}

UdpSocket UdpSocket::bindShared(const SocketAddress& local,
                                std::string* error) {
  return bindUdp(local, true, error);
}

UdpSocket UdpSocket::bindUdp(const SocketAddress& local,
                             bool reuseAddress,
                             std::string* error) {
  const NativeSocket socket =
      openSocket(asSockaddr(local)->sa_family, SOCK_DGRAM, IPPROTO_UDP, error);
  if (socket == kInvalidSocket) return {};
  UdpSocket result(socket);
  native::prepareDatagram(socket);
  const int on = 1;
  if (reuseAddress &&
      !native::setOption(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on)) {
    setError(error, "could not share the address: " + lastErrorText());
    return {};
  }
  if (::bind(native::raw(socket),
             asSockaddr(local),
             static_cast<native::AddressLength>(local.length)) != 0) {
    setError(error,
             "could not bind " + local.toString() + ": " + lastErrorText());
    return {};
  }
  return result;
}

bool UdpSocket::sendTo(const SocketAddress& to,
                       const void* data,
                       size_t size) const {
  return valid() && native::sendDatagram(handle_, data, size, to);
}

long UdpSocket::receiveFrom(void* buffer,
                            size_t capacity,
                            std::chrono::milliseconds timeout,
                            SocketAddress* from) const {
  if (!valid()) return kSocketFailed;
  const Deadline deadline = Clock::now() + timeout;
  for (;;) {
    const int ready = native::waitFor(handle_, false, deadline);
    if (ready == 0) return kSocketTimedOut;
    if (ready < 0) return kSocketFailed;
    SocketAddress peer;
    const long n = native::receiveDatagram(handle_, buffer, capacity, &peer);
    if (n >= 0) {
      if (from) *from = peer;
      return n;
    }
    if (n != native::kWouldBlock) return kSocketFailed;
  }
}

bool UdpSocket::setMulticastTtl(int ttl) const {
  return valid() &&
         native::setOption(
             handle_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
}

bool UdpSocket::joinMulticastGroup(std::string_view group) const {
  if (!valid()) return false;
  ip_mreq request{};
  const std::string text(group);
  if (::inet_pton(AF_INET, text.c_str(), &request.imr_multiaddr) != 1)
    return false;
  request.imr_interface.s_addr = htonl(INADDR_ANY);
  return native::setOption(
      handle_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
}

void UdpSocket::setReceiveBufferSize(int bytes) const {
  if (valid()) native::setReceiveBuffer(handle_, bytes);
}

SocketAddress UdpSocket::localAddress() const {
  return localAddressOf(handle_);
}

}  // namespace pxo::platform
