#pragma once

// The few things a socket call does differently on POSIX and on Winsock,
// behind one set of functions. posix/socket_posix.cpp and
// windows/socket_windows.cpp each implement them; bsd/socket_core.cpp
// builds platform/socket.h on top of them and of the BSD calls both OSes
// share (addresses, resolving, bind, listen, getsockname). Internal to the
// platform module: nothing outside it includes this header.

#include "platform/socket.h"

#include <cstddef>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace pxo::platform::native {

#ifdef _WIN32
using Handle = SOCKET;
using AddressLength = int;
#else
using Handle = int;
using AddressLength = socklen_t;
#endif

inline Handle raw(NativeSocket socket) { return static_cast<Handle>(socket); }

// What a call on a non-blocking socket came to, besides a byte count.
inline constexpr long kFailed = -1;      // lastError() tells why
inline constexpr long kWouldBlock = -2;  // nothing now: wait, then again
inline constexpr long kRetry = -3;       // try again at once

// The calling thread's last socket error, and its text.
int lastError();
std::string errorText(int code);
// The text of a getaddrinfo result code.
std::string resolverErrorText(int code);

// A socket that child processes do not inherit, networking started first;
// kInvalidSocket (lastError() set) on failure.
NativeSocket openSocket(int family, int type, int protocol);
void closeSocket(NativeSocket socket);
bool setNonBlocking(NativeSocket socket);
bool setOption(
    NativeSocket socket, int level, int name, const void* value, int size);

// Waits until `deadline` for `socket` to become readable (`write` false)
// or writable: 1 ready, 0 timed out, -1 error (a failed connect counts as
// ready or as an error; connectError() tells which it was).
int waitFor(NativeSocket socket, bool write, Deadline deadline);

// Starts a non-blocking connect: 0 connected, kWouldBlock under way,
// kFailed.
long startConnect(NativeSocket socket, const SocketAddress& to);
// Why a connect that was under way failed: 0 when it did not.
int connectError(NativeSocket socket);

// Sends or receives what a non-blocking stream takes now: a byte count,
// kWouldBlock or kFailed. Interrupted calls are repeated; a send to a
// vanished peer is an error, never a signal.
long sendSome(NativeSocket socket, const void* data, size_t size);
long receiveSome(NativeSocket socket, void* buffer, size_t capacity);

// Takes one waiting connection into `accepted`, non-blocking and not
// inherited: 0, kRetry (interrupted, or the peer left before it was
// taken), kWouldBlock or kFailed.
long acceptOne(NativeSocket listener, NativeSocket* accepted);

// Sends one whole datagram; false when the OS refused it.
bool sendDatagram(NativeSocket socket,
                  const void* data,
                  size_t size,
                  const SocketAddress& to);
// Takes one datagram without waiting: its size (cut to `capacity`) with
// the sender in `peer`, kWouldBlock or kFailed.
long receiveDatagram(NativeSocket socket,
                     void* buffer,
                     size_t capacity,
                     SocketAddress* peer);

// What a new listener or datagram socket needs before it is bound.
void prepareListener(NativeSocket socket);
void prepareDatagram(NativeSocket socket);
// Asks for a receive queue of `bytes` (best effort).
void setReceiveBuffer(NativeSocket socket, int bytes);

}  // namespace pxo::platform::native
