// Winsock 2.2 behind platform/socket.h. TCP sockets are non-blocking and
// every wait goes through select with the caller's deadline (WSAPoll misses
// failed connects on older Windows); UDP sockets block for sends and wait
// in select for receives. Winsock is started once per process, on first
// use, and never cleaned up: other threads of the host may still use it.

#include "platform/socket.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <utility>

#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which must come before windows.h.
#include <mstcpip.h>
#include <windows.h>

namespace pxo::platform {

static_assert(sizeof(sockaddr_storage) <= sizeof(SocketAddress::storage));

namespace {

// mingw-w64's headers lack it: reports ICMP "port unreachable" after a UDP
// send as WSAECONNRESET on the next receive.
#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

const sockaddr* asSockaddr(const SocketAddress& address) {
  return reinterpret_cast<const sockaddr*>(address.storage.data());
}

SOCKET toSocket(NativeSocket handle) { return static_cast<SOCKET>(handle); }

NativeSocket fromSocket(SOCKET socket) {
  return socket == INVALID_SOCKET ? kInvalidSocket
                                  : static_cast<NativeSocket>(socket);
}

void closeHandle(NativeSocket& handle) {
  if (handle != kInvalidSocket) {
    ::closesocket(toSocket(handle));
    handle = kInvalidSocket;
  }
}

// A socket that child processes do not inherit.
SOCKET openSocket(int family, int type, int protocol) {
  startNetworking();
  return ::WSASocketW(family,
                      type,
                      protocol,
                      nullptr,
                      0,
                      WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

bool setNonBlocking(SOCKET socket) {
  u_long on = 1;
  return ::ioctlsocket(socket, FIONBIO, &on) == 0;
}

std::string utf8FromWide(const wchar_t* text, int length) {
  const int size = ::WideCharToMultiByte(
      CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string result(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(
      CP_UTF8, 0, text, length, result.data(), size, nullptr, nullptr);
  return result;
}

// The system's text for a Winsock error, in UTF-8, with its number.
std::string errorText(int code) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                            FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr,
                                        static_cast<DWORD>(code),
                                        0,
                                        reinterpret_cast<wchar_t*>(&text),
                                        0,
                                        nullptr);
  std::string message;
  if (length > 0 && text)
    message = utf8FromWide(text, static_cast<int>(length));
  if (text) ::LocalFree(text);
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' ||
          message.back() == '.' || message.back() == ' '))
    message.pop_back();
  if (message.empty()) message = "error";
  return message + " (" + std::to_string(code) + ")";
}

// Waits until `deadline` for the socket to become readable (`write` false)
// or writable: 1 ready, 0 timed out, -1 error (a failed connect shows in
// the except set).
int waitFor(SOCKET socket, bool write, Deadline deadline) {
  for (;;) {
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(socket, &ready);
    FD_SET(socket, &failed);
    auto left = deadline - Clock::now();
    if (left < Clock::duration::zero()) left = Clock::duration::zero();
    const auto us = std::chrono::ceil<std::chrono::microseconds>(left).count();
    timeval timeout{};
    const int64_t seconds = std::min<int64_t>(us / 1000000, INT_MAX);
    timeout.tv_sec = static_cast<long>(seconds);
    timeout.tv_usec = static_cast<long>(us % 1000000);
    const int rc = ::select(0,
                            write ? nullptr : &ready,
                            write ? &ready : nullptr,
                            &failed,
                            &timeout);
    if (rc == SOCKET_ERROR) return -1;
    if (rc > 0) return FD_ISSET(socket, &failed) ? -1 : 1;
    if (Clock::now() >= deadline) return 0;
  }
}

SocketAddress localAddressOf(NativeSocket handle) {
  SocketAddress result;
  if (handle == kInvalidSocket) return result;
  sockaddr_storage local{};
  int length = sizeof local;
  if (::getsockname(toSocket(handle),
                    reinterpret_cast<sockaddr*>(&local),
                    &length) == 0) {
    std::memcpy(result.storage.data(), &local, static_cast<size_t>(length));
    result.length = length;
  }
  return result;
}

void setError(std::string* error, std::string message) {
  if (error) *error = std::move(message);
}

// At most INT_MAX bytes per call: Winsock counts in int.
int chunk(size_t size) {
  return static_cast<int>(std::min<size_t>(size, INT_MAX));
}

}  // namespace

void startNetworking() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data{};
    // A failure shows in the first socket call that follows.
    (void)::WSAStartup(MAKEWORD(2, 2), &data);
  });
}

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
  // getaddrinfo's narrow form reads the host in the ANSI code page; names
  // are ASCII (or punycode) in practice, and digits always are.
  const int rc =
      ::getaddrinfo(hostText.c_str(), serviceText.c_str(), &hints, &list);
  if (rc != 0) {
    setError(error, "could not resolve " + hostText + ": " + errorText(rc));
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
  const SOCKET socket = openSocket(to.family, to.type, to.protocol);
  if (socket == INVALID_SOCKET) {
    setError(error,
             "could not create socket: " + errorText(::WSAGetLastError()));
    return {};
  }
  TcpStream stream(fromSocket(socket));
  if (!setNonBlocking(socket)) {
    setError(error, "could not make socket non-blocking");
    return {};
  }
  if (::connect(socket, asSockaddr(to.address), to.address.length) == 0)
    return stream;
  const int code = ::WSAGetLastError();
  if (code != WSAEWOULDBLOCK && code != WSAEINPROGRESS) {
    setError(error, "could not connect: " + errorText(code));
    return {};
  }
  const int ready = waitFor(socket, true, deadline);
  if (ready == 0) {
    setError(error, "connect timed out");
    return {};
  }
  int soError = 0;
  int length = sizeof soError;
  if (::getsockopt(socket,
                   SOL_SOCKET,
                   SO_ERROR,
                   reinterpret_cast<char*>(&soError),
                   &length) != 0)
    soError = ::WSAGetLastError();
  if (ready < 0 || soError != 0) {
    setError(error,
             "could not connect: " +
                 errorText(soError ? soError : ::WSAGetLastError()));
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
  const auto* bytes = static_cast<const char*>(data);
  size_t sent = 0;
  while (sent < size) {
    const int n =
        ::send(toSocket(handle_), bytes + sent, chunk(size - sent), 0);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK) {
      if (waitFor(toSocket(handle_), true, deadline) <= 0) return false;
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
    const int n = ::recv(
        toSocket(handle_), static_cast<char*>(buffer), chunk(capacity), 0);
    if (n >= 0) return n;
    if (::WSAGetLastError() != WSAEWOULDBLOCK) return kSocketFailed;
    const int ready = waitFor(toSocket(handle_), false, deadline);
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
  const SOCKET socket =
      openSocket(asSockaddr(local)->sa_family, SOCK_STREAM, 0);
  if (socket == INVALID_SOCKET) {
    setError(error,
             "could not create socket: " + errorText(::WSAGetLastError()));
    return {};
  }
  TcpListener listener(fromSocket(socket));
  // No SO_REUSEADDR: on Windows it would let another socket take the port
  // over, and a port in TIME_WAIT does not block a new listener here.
  if (!setNonBlocking(socket) ||
      ::bind(socket, asSockaddr(local), local.length) != 0 ||
      ::listen(socket, backlog) != 0) {
    setError(error,
             "could not listen on " + local.toString() + ": " +
                 errorText(::WSAGetLastError()));
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
    const SOCKET socket = ::accept(toSocket(handle_), nullptr, nullptr);
    if (socket != INVALID_SOCKET) {
      // Accepted sockets take the listener's non-blocking mode, but say so.
      setNonBlocking(socket);
      ::SetHandleInformation(
          reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
      return TcpStream(fromSocket(socket));
    }
    const int code = ::WSAGetLastError();
    if (code == WSAECONNRESET) continue;  // gone before it was accepted
    if (code != WSAEWOULDBLOCK) return {};
    if (waitFor(toSocket(handle_), false, deadline) <= 0) return {};
  }
}

// ---------------------------------------------------------------- UdpSocket

namespace {

// A send to a port nobody listens on must not fail the next receive.
void ignorePortUnreachable(SOCKET socket) {
  BOOL off = FALSE;
  DWORD returned = 0;
  ::WSAIoctl(socket,
             SIO_UDP_CONNRESET,
             &off,
             sizeof off,
             nullptr,
             0,
             &returned,
             nullptr,
             nullptr);
}

}  // namespace

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
  const SOCKET socket = openSocket(like.family, like.type, like.protocol);
  if (socket == INVALID_SOCKET) {
    setError(error,
             "could not create socket: " + errorText(::WSAGetLastError()));
    return {};
  }
  ignorePortUnreachable(socket);
  return UdpSocket(fromSocket(socket));
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
  const SOCKET socket =
      openSocket(asSockaddr(local)->sa_family, SOCK_DGRAM, IPPROTO_UDP);
  if (socket == INVALID_SOCKET) {
    setError(error,
             "could not create socket: " + errorText(::WSAGetLastError()));
    return {};
  }
  UdpSocket result(fromSocket(socket));
  ignorePortUnreachable(socket);
  const BOOL on = TRUE;
  if (reuseAddress && ::setsockopt(socket,
                                   SOL_SOCKET,
                                   SO_REUSEADDR,
                                   reinterpret_cast<const char*>(&on),
                                   sizeof on) != 0) {
    setError(error,
             "could not share the address: " + errorText(::WSAGetLastError()));
    return {};
  }
  if (::bind(socket, asSockaddr(local), local.length) != 0) {
    setError(error,
             "could not bind " + local.toString() + ": " +
                 errorText(::WSAGetLastError()));
    return {};
  }
  return result;
}

bool UdpSocket::sendTo(const SocketAddress& to,
                       const void* data,
                       size_t size) const {
  if (!valid() || size > INT_MAX) return false;
  const int n = ::sendto(toSocket(handle_),
                         static_cast<const char*>(data),
                         static_cast<int>(size),
                         0,
                         asSockaddr(to),
                         to.length);
  return n != SOCKET_ERROR && static_cast<size_t>(n) == size;
}

long UdpSocket::receiveFrom(void* buffer,
                            size_t capacity,
                            std::chrono::milliseconds timeout,
                            SocketAddress* from) const {
  if (!valid()) return kSocketFailed;
  const Deadline deadline = Clock::now() + timeout;
  for (;;) {
    const int ready = waitFor(toSocket(handle_), false, deadline);
    if (ready == 0) return kSocketTimedOut;
    if (ready < 0) return kSocketFailed;
    sockaddr_storage peer{};
    int peerLength = sizeof peer;
    const int n = ::recvfrom(toSocket(handle_),
                             static_cast<char*>(buffer),
                             chunk(capacity),
                             0,
                             reinterpret_cast<sockaddr*>(&peer),
                             &peerLength);
    int code = n == SOCKET_ERROR ? ::WSAGetLastError() : 0;
    // A datagram longer than the buffer arrives cut, as on POSIX.
    const long size = code == WSAEMSGSIZE ? chunk(capacity) : n;
    if (code == 0 || code == WSAEMSGSIZE) {
      if (from) {
        *from = SocketAddress{};
        std::memcpy(
            from->storage.data(), &peer, static_cast<size_t>(peerLength));
        from->length = peerLength;
      }
      return size;
    }
    if (code != WSAEWOULDBLOCK && code != WSAECONNRESET && code != WSAEINTR)
      return kSocketFailed;
  }
}

bool UdpSocket::setMulticastTtl(int ttl) const {
  if (!valid()) return false;
  const DWORD value = static_cast<DWORD>(ttl);
  return ::setsockopt(toSocket(handle_),
                      IPPROTO_IP,
                      IP_MULTICAST_TTL,
                      reinterpret_cast<const char*>(&value),
                      sizeof value) == 0;
}

bool UdpSocket::joinMulticastGroup(std::string_view group) const {
  if (!valid()) return false;
  ip_mreq request{};
  const std::string text(group);
  if (::inet_pton(AF_INET, text.c_str(), &request.imr_multiaddr) != 1)
    return false;
  request.imr_interface.s_addr = htonl(INADDR_ANY);
  return ::setsockopt(toSocket(handle_),
                      IPPROTO_IP,
                      IP_ADD_MEMBERSHIP,
                      reinterpret_cast<const char*>(&request),
                      sizeof request) == 0;
}

void UdpSocket::setReceiveBufferSize(int bytes) const {
  if (!valid()) return;
  ::setsockopt(toSocket(handle_),
               SOL_SOCKET,
               SO_RCVBUF,
               reinterpret_cast<const char*>(&bytes),
               sizeof bytes);
}

SocketAddress UdpSocket::localAddress() const {
  return localAddressOf(handle_);
}

}  // namespace pxo::platform
