// What POSIX sockets do their own way, behind bsd/native_socket.h: errno,
// O_NONBLOCK, poll, close-on-exec, and MSG_NOSIGNAL on every send so that
// a vanished peer is an error code, never SIGPIPE.

#include "platform/bsd/native_socket.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace pxo::platform {
namespace native {
namespace {

// Milliseconds from now to `deadline` for poll, rounded up, 0 when past.
int millisecondsUntil(Deadline deadline) {
  auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<int64_t>(ms, INT_MAX));
}

bool wouldBlock(int code) { return code == EAGAIN || code == EWOULDBLOCK; }

}  // namespace

int lastError() { return errno; }

// strerror is not thread safe; the GNU strerror_r returns the text.
std::string errorText(int code) {
  char buffer[128];
  return ::strerror_r(code, buffer, sizeof buffer);
}

std::string resolverErrorText(int code) { return ::gai_strerror(code); }

NativeSocket openSocket(int family, int type, int protocol) {
  const int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
  return fd < 0 ? kInvalidSocket : fd;
}

void closeSocket(NativeSocket socket) { ::close(raw(socket)); }

bool setNonBlocking(NativeSocket socket) {
  const int flags = ::fcntl(raw(socket), F_GETFL, 0);
  return flags >= 0 && ::fcntl(raw(socket), F_SETFL, flags | O_NONBLOCK) == 0;
}

bool setOption(
    NativeSocket socket, int level, int name, const void* value, int size) {
  return ::setsockopt(
             raw(socket), level, name, value, static_cast<socklen_t>(size)) ==
         0;
}

int waitFor(NativeSocket socket, bool write, Deadline deadline) {
  for (;;) {
    pollfd entry{raw(socket), static_cast<short>(write ? POLLOUT : POLLIN), 0};
    const int rc = ::poll(&entry, 1, millisecondsUntil(deadline));
    if (rc > 0) return 1;
    if (rc == 0) {
      if (Clock::now() >= deadline) return 0;
      continue;  // poll rounds its timeout; wait out the remainder
    }
    if (errno != EINTR) return -1;
  }
}

long startConnect(NativeSocket socket, const SocketAddress& to) {
  int rc;
  do {
    rc = ::connect(raw(socket),
                   reinterpret_cast<const sockaddr*>(to.storage.data()),
                   static_cast<socklen_t>(to.length));
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return 0;
  return errno == EINPROGRESS ? kWouldBlock : kFailed;
}

int connectError(NativeSocket socket) {
  int code = 0;
  socklen_t length = sizeof code;
  if (::getsockopt(raw(socket), SOL_SOCKET, SO_ERROR, &code, &length) != 0)
    return errno;
  return code;
}

long sendSome(NativeSocket socket, const void* data, size_t size) {
  for (;;) {
    const ssize_t n = ::send(raw(socket), data, size, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return wouldBlock(errno) ? kWouldBlock : kFailed;
  }
}

long receiveSome(NativeSocket socket, void* buffer, size_t capacity) {
  for (;;) {
    const ssize_t n = ::recv(raw(socket), buffer, capacity, 0);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return wouldBlock(errno) ? kWouldBlock : kFailed;
  }
}

long acceptOne(NativeSocket listener, NativeSocket* accepted) {
  const int fd =
      ::accept4(raw(listener), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd >= 0) {
    *accepted = fd;
    return 0;
  }
  if (errno == EINTR || errno == ECONNABORTED) return kRetry;
  return wouldBlock(errno) ? kWouldBlock : kFailed;
}

bool sendDatagram(NativeSocket socket,
                  const void* data,
                  size_t size,
                  const SocketAddress& to) {
  for (;;) {
    const ssize_t n =
        ::sendto(raw(socket),
                 data,
                 size,
                 MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(to.storage.data()),
                 static_cast<socklen_t>(to.length));
    if (n >= 0) return static_cast<size_t>(n) == size;
    if (errno != EINTR) return false;
  }
}

long receiveDatagram(NativeSocket socket,
                     void* buffer,
                     size_t capacity,
                     SocketAddress* peer) {
  sockaddr_storage from{};
  socklen_t length = sizeof from;
  const ssize_t n = ::recvfrom(raw(socket),
                               buffer,
                               capacity,
                               MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from),
                               &length);
  if (n >= 0) {
    *peer = SocketAddress{};
    std::memcpy(peer->storage.data(), &from, length);
    peer->length = static_cast<int32_t>(length);
    return static_cast<long>(n);
  }
  return errno == EINTR || wouldBlock(errno) ? kWouldBlock : kFailed;
}

// A listener's port may be taken again at once after a restart, while the
// last connections wait out TIME_WAIT.
void prepareListener(NativeSocket socket) {
  const int on = 1;
  setOption(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

void prepareDatagram(NativeSocket) {}

void setReceiveBuffer(NativeSocket socket, int bytes) {
  // SO_RCVBUFFORCE passes the system cap when privileged; else fall back.
  if (!setOption(socket, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes))
    setOption(socket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

}  // namespace native

void startNetworking() {}

}  // namespace pxo::platform
