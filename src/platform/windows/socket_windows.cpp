// What Winsock 2.2 does its own way, behind bsd/native_socket.h: its error
// codes and texts, FIONBIO, select (WSAPoll misses failed connects on older
// Windows), closesocket, handles children must not inherit, and the ICMP
// "port unreachable" that would fail the next UDP receive. Winsock is
// started once per process, on first use, and never cleaned up: other
// threads of the host may still use it.

#include "platform/bsd/native_socket.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>

// After winsock2.h (in native_socket.h), which must come before windows.h.
#include <mstcpip.h>
#include <windows.h>

namespace pxo::platform {
namespace native {
namespace {

// mingw-w64's headers lack it: reports ICMP "port unreachable" after a UDP
// send as WSAECONNRESET on the next receive.
#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

std::string utf8FromWide(const wchar_t* text, int length) {
  const int size = ::WideCharToMultiByte(
      CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string result(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(
      CP_UTF8, 0, text, length, result.data(), size, nullptr, nullptr);
  return result;
}

// At most INT_MAX bytes per call: Winsock counts in int.
int chunk(size_t size) {
  return static_cast<int>(std::min<size_t>(size, INT_MAX));
}

NativeSocket fromSocket(SOCKET socket) {
  return socket == INVALID_SOCKET ? kInvalidSocket
                                  : static_cast<NativeSocket>(socket);
}

}  // namespace

int lastError() { return ::WSAGetLastError(); }

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

std::string resolverErrorText(int code) { return errorText(code); }

NativeSocket openSocket(int family, int type, int protocol) {
  startNetworking();
  return fromSocket(
      ::WSASocketW(family,
                   type,
                   protocol,
                   nullptr,
                   0,
                   WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
}

void closeSocket(NativeSocket socket) { ::closesocket(raw(socket)); }

bool setNonBlocking(NativeSocket socket) {
  u_long on = 1;
  return ::ioctlsocket(raw(socket), FIONBIO, &on) == 0;
}

bool setOption(
    NativeSocket socket, int level, int name, const void* value, int size) {
  return ::setsockopt(
             raw(socket), level, name, static_cast<const char*>(value), size) ==
         0;
}

// A failed connect shows in the except set.
int waitFor(NativeSocket socket, bool write, Deadline deadline) {
  for (;;) {
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(raw(socket), &ready);
    FD_SET(raw(socket), &failed);
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
    if (rc > 0) return FD_ISSET(raw(socket), &failed) ? -1 : 1;
    if (Clock::now() >= deadline) return 0;
  }
}

long startConnect(NativeSocket socket, const SocketAddress& to) {
  if (::connect(raw(socket),
                reinterpret_cast<const sockaddr*>(to.storage.data()),
                to.length) == 0)
    return 0;
  const int code = ::WSAGetLastError();
  return code == WSAEWOULDBLOCK || code == WSAEINPROGRESS ? kWouldBlock
                                                          : kFailed;
}

int connectError(NativeSocket socket) {
  int code = 0;
  int length = sizeof code;
  if (::getsockopt(raw(socket),
                   SOL_SOCKET,
                   SO_ERROR,
                   reinterpret_cast<char*>(&code),
                   &length) != 0)
    return ::WSAGetLastError();
  return code;
}

long sendSome(NativeSocket socket, const void* data, size_t size) {
  const int n =
      ::send(raw(socket), static_cast<const char*>(data), chunk(size), 0);
  if (n >= 0) return n;
  return ::WSAGetLastError() == WSAEWOULDBLOCK ? kWouldBlock : kFailed;
}

long receiveSome(NativeSocket socket, void* buffer, size_t capacity) {
  const int n =
      ::recv(raw(socket), static_cast<char*>(buffer), chunk(capacity), 0);
  if (n >= 0) return n;
  return ::WSAGetLastError() == WSAEWOULDBLOCK ? kWouldBlock : kFailed;
}

long acceptOne(NativeSocket listener, NativeSocket* accepted) {
  const SOCKET socket = ::accept(raw(listener), nullptr, nullptr);
  if (socket != INVALID_SOCKET) {
    // Accepted sockets take the listener's non-blocking mode, but say so.
    *accepted = fromSocket(socket);
    setNonBlocking(*accepted);
    ::SetHandleInformation(
        reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
    return 0;
  }
  const int code = ::WSAGetLastError();
  if (code == WSAECONNRESET) return kRetry;  // gone before it was accepted
  return code == WSAEWOULDBLOCK ? kWouldBlock : kFailed;
}

bool sendDatagram(NativeSocket socket,
                  const void* data,
                  size_t size,
                  const SocketAddress& to) {
  if (size > INT_MAX) return false;
  const int n = ::sendto(raw(socket),
                         static_cast<const char*>(data),
                         static_cast<int>(size),
                         0,
                         reinterpret_cast<const sockaddr*>(to.storage.data()),
                         to.length);
  return n != SOCKET_ERROR && static_cast<size_t>(n) == size;
}

long receiveDatagram(NativeSocket socket,
                     void* buffer,
                     size_t capacity,
                     SocketAddress* peer) {
  sockaddr_storage from{};
  int length = sizeof from;
  const int n = ::recvfrom(raw(socket),
                           static_cast<char*>(buffer),
                           chunk(capacity),
                           0,
                           reinterpret_cast<sockaddr*>(&from),
                           &length);
  const int code = n == SOCKET_ERROR ? ::WSAGetLastError() : 0;
  // A datagram longer than the buffer arrives cut, as on POSIX.
  if (code == 0 || code == WSAEMSGSIZE) {
    *peer = SocketAddress{};
    std::memcpy(peer->storage.data(), &from, static_cast<size_t>(length));
    peer->length = length;
    return code == WSAEMSGSIZE ? chunk(capacity) : n;
  }
  if (code == WSAEWOULDBLOCK || code == WSAECONNRESET || code == WSAEINTR)
    return kWouldBlock;
  return kFailed;
}

// No SO_REUSEADDR: on Windows it would let another socket take the port
// over, and a port in TIME_WAIT does not block a new listener here.
void prepareListener(NativeSocket) {}

// A send to a port nobody listens on must not fail the next receive.
void prepareDatagram(NativeSocket socket) {
  BOOL off = FALSE;
  DWORD returned = 0;
  ::WSAIoctl(raw(socket),
             SIO_UDP_CONNRESET,
             &off,
             sizeof off,
             nullptr,
             0,
             &returned,
             nullptr,
             nullptr);
}

void setReceiveBuffer(NativeSocket socket, int bytes) {
  setOption(socket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

}  // namespace native

void startNetworking() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data{};
    // A failure shows in the first socket call that follows.
    (void)::WSAStartup(MAKEWORD(2, 2), &data);
  });
}

}  // namespace pxo::platform
