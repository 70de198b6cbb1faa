// POSIX sockets behind platform/socket.h. Sockets are non-blocking for TCP
// (every wait goes through poll with the caller's deadline) and blocking for
// UDP sends; every send passes MSG_NOSIGNAL so a vanished peer is an error
// code, never SIGPIPE.

#include "platform/socket.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace pxo::platform {

static_assert(sizeof(sockaddr_storage) <= sizeof(SocketAddress::storage));

namespace {

const sockaddr* asSockaddr(const SocketAddress& address) {
  return reinterpret_cast<const sockaddr*>(address.storage.data());
}

int toFd(NativeSocket handle) { return static_cast<int>(handle); }

void closeHandle(NativeSocket& handle) {
  if (handle != kInvalidSocket) {
    ::close(toFd(handle));
    handle = kInvalidSocket;
  }
}

bool setNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Milliseconds from now to `deadline` for poll, rounded up, 0 when past.
int millisecondsUntil(Deadline deadline) {
  auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<int64_t>(ms, INT_MAX));
}

// Waits for `events` on `fd` until `deadline`: 1 ready, 0 timed out, -1 error.
int waitFor(int fd, short events, Deadline deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    int rc = ::poll(&entry, 1, millisecondsUntil(deadline));
    if (rc > 0) return 1;
    if (rc == 0) {
      if (Clock::now() >= deadline) return 0;
      continue;  // poll rounds its timeout; wait out the remainder
    }
    if (errno != EINTR) return -1;
  }
}

// strerror is not thread safe; the GNU strerror_r returns the text.
std::string errorText(int code) {
  char buffer[128];
  return ::strerror_r(code, buffer, sizeof buffer);
}

SocketAddress localAddressOf(NativeSocket handle) {
  SocketAddress result;
  if (handle == kInvalidSocket) return result;
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (::getsockname(
          toFd(handle), reinterpret_cast<sockaddr*>(&local), &length) == 0) {
    std::memcpy(result.storage.data(), &local, length);
    result.length = static_cast<int32_t>(length);
  }
  return result;
}

void setError(std::string* error, std::string message) {
  if (error) *error = std::move(message);
}

}  // namespace

void startNetworking() {}

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
  addrinfo hints{};
  hints.ai_family = family == AddressFamily::kIPv4 ? AF_INET : AF_UNSPEC;
  hints.ai_socktype = type == SocketType::kStream ? SOCK_STREAM : SOCK_DGRAM;
  addrinfo* list = nullptr;
  std::string hostText(host);
  std::string serviceText(service);
  int rc = ::getaddrinfo(hostText.c_str(), serviceText.c_str(), &hints, &list);
  if (rc != 0) {
    setError(error, "could not resolve " + hostText + ": " + gai_strerror(rc));
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
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_port = htons(port);
  std::string text(dottedQuad);
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
  int fd = ::socket(to.family, to.type | SOCK_CLOEXEC, to.protocol);
  if (fd < 0) {
    setError(error, "could not create socket: " + errorText(errno));
    return {};
  }
  TcpStream stream(fd);
  if (!setNonBlocking(fd)) {
    setError(error, "could not make socket non-blocking");
    return {};
  }
  int rc;
  do {
    rc = ::connect(
        fd, asSockaddr(to.address), static_cast<socklen_t>(to.address.length));
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return stream;
  if (errno != EINPROGRESS) {
    setError(error, std::string("could not connect: ") + errorText(errno));
    return {};
  }
  int ready = waitFor(fd, POLLOUT, deadline);
  if (ready == 0) {
    setError(error, "connect timed out");
    return {};
  }
  int soError = 0;
  socklen_t len = sizeof soError;
  if (ready < 0 ||
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0 ||
      soError != 0) {
    setError(error,
             std::string("could not connect: ") +
                 errorText(soError ? soError : errno));
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
    Deadline limit = std::min(deadline, Clock::now() + perAddress);
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
    ssize_t n = ::send(toFd(handle_), bytes + sent, size - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (waitFor(toFd(handle_), POLLOUT, deadline) <= 0) return false;
      continue;
    }
    return false;
  }
  return true;
}

long TcpStream::receive(void* buffer,
                        size_t capacity,
                        Deadline deadline) const {
  if (!valid()) return kSocketFailed;
  for (;;) {
    ssize_t n = ::recv(toFd(handle_), buffer, capacity, 0);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return kSocketFailed;
    int ready = waitFor(toFd(handle_), POLLIN, deadline);
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
  int fd =
      ::socket(asSockaddr(local)->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    setError(error, "could not create socket: " + errorText(errno));
    return {};
  }
  TcpListener listener(fd);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (!setNonBlocking(fd) ||
      ::bind(fd, asSockaddr(local), static_cast<socklen_t>(local.length)) !=
          0 ||
      ::listen(fd, backlog) != 0) {
    setError(
        error,
        "could not listen on " + local.toString() + ": " + errorText(errno));
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
    int fd = ::accept4(
        toFd(handle_), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) return TcpStream(fd);
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return {};
    if (waitFor(toFd(handle_), POLLIN, deadline) <= 0) return {};
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
  int fd = ::socket(like.family, like.type | SOCK_CLOEXEC, like.protocol);
  if (fd < 0) {
    setError(error, "could not create socket: " + errorText(errno));
    return {};
  }
  return UdpSocket(fd);
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
  int family = asSockaddr(local)->sa_family;
  int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    setError(error, "could not create socket: " + errorText(errno));
    return {};
  }
  UdpSocket socket(fd);
  const int on = 1;
  if (reuseAddress &&
      ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    setError(error, "could not share the address: " + errorText(errno));
    return {};
  }
  if (::bind(fd, asSockaddr(local), static_cast<socklen_t>(local.length)) !=
      0) {
    setError(error,
             "could not bind " + local.toString() + ": " + errorText(errno));
    return {};
  }
  return socket;
}

bool UdpSocket::sendTo(const SocketAddress& to,
                       const void* data,
                       size_t size) const {
  if (!valid()) return false;
  for (;;) {
    ssize_t n = ::sendto(toFd(handle_),
                         data,
                         size,
                         MSG_NOSIGNAL,
                         asSockaddr(to),
                         static_cast<socklen_t>(to.length));
    if (n >= 0) return static_cast<size_t>(n) == size;
    if (errno != EINTR) return false;
  }
}

long UdpSocket::receiveFrom(void* buffer,
                            size_t capacity,
                            std::chrono::milliseconds timeout,
                            SocketAddress* from) const {
  if (!valid()) return kSocketFailed;
  Deadline deadline = Clock::now() + timeout;
  for (;;) {
    int ready = waitFor(toFd(handle_), POLLIN, deadline);
    if (ready == 0) return kSocketTimedOut;
    if (ready < 0) return kSocketFailed;
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    ssize_t n = ::recvfrom(toFd(handle_),
                           buffer,
                           capacity,
                           MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&peer),
                           &peerLength);
    if (n >= 0) {
      if (from) {
        *from = SocketAddress{};
        std::memcpy(from->storage.data(), &peer, peerLength);
        from->length = static_cast<int32_t>(peerLength);
      }
      return static_cast<long>(n);
    }
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
      return kSocketFailed;
  }
}

bool UdpSocket::setMulticastTtl(int ttl) const {
  if (!valid()) return false;
  return ::setsockopt(
             toFd(handle_), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) ==
         0;
}

bool UdpSocket::joinMulticastGroup(std::string_view group) const {
  if (!valid()) return false;
  ip_mreq request{};
  const std::string text(group);
  if (::inet_pton(AF_INET, text.c_str(), &request.imr_multiaddr) != 1)
    return false;
  request.imr_interface.s_addr = htonl(INADDR_ANY);
  return ::setsockopt(toFd(handle_),
                      IPPROTO_IP,
                      IP_ADD_MEMBERSHIP,
                      &request,
                      sizeof request) == 0;
}

void UdpSocket::setReceiveBufferSize(int bytes) const {
  if (!valid()) return;
  // SO_RCVBUFFORCE passes the system cap when privileged; else fall back.
  if (::setsockopt(
          toFd(handle_), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
    ::setsockopt(toFd(handle_), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

SocketAddress UdpSocket::localAddress() const {
  return localAddressOf(handle_);
}

}  // namespace pxo::platform
