#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The socket seam. Callers see no OS types: addresses are opaque bytes and
// sockets are move-only owners of a native handle. bsd/socket_core.cpp
// implements it once for POSIX and Winsock; posix/socket_posix.cpp and
// windows/socket_windows.cpp hold only what the two do differently.
//
// All calls are safe from any thread; one socket object is used by one
// thread at a time unless its class says otherwise.

namespace pxo::platform {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

// Starts the OS networking layer once per process and never undoes it.
// A no-op where the OS needs no start-up.
void startNetworking();

enum class AddressFamily { kAny, kIPv4 };
enum class SocketType { kStream, kDatagram };

// An OS socket address (IPv4 or IPv6) with its length.
struct SocketAddress {
  alignas(8) std::array<std::byte, 128> storage{};
  int32_t length = 0;

  bool empty() const { return length == 0; }
  // "a.b.c.d:port" or "[v6]:port"; "" when empty.
  std::string toString() const;
  uint16_t port() const;
};

// One result of a name lookup: what socket to create and where to send.
struct ResolvedAddress {
  SocketAddress address;
  int family = 0;
  int type = 0;
  int protocol = 0;
};

// Looks up `host` and `service` (a port number or name). Fills `out` with
// the results in the resolver's order; false with a message when none.
[[nodiscard]] bool resolveAddress(std::string_view host,
                                  std::string_view service,
                                  AddressFamily family,
                                  SocketType type,
                                  std::vector<ResolvedAddress>* out,
                                  std::string* error = nullptr);

// Parses a numeric IPv4 address and port into a socket address.
[[nodiscard]] bool makeIPv4Address(std::string_view dottedQuad,
                                   uint16_t port,
                                   SocketAddress* out);

using NativeSocket = intptr_t;
inline constexpr NativeSocket kInvalidSocket = -1;

// Result codes of the receive calls besides a byte count.
inline constexpr long kSocketClosed = 0;
inline constexpr long kSocketFailed = -1;
inline constexpr long kSocketTimedOut = -2;

// A connected TCP stream. Every operation is bounded by a deadline; sends
// never raise SIGPIPE.
class TcpStream {
 public:
  TcpStream() = default;
  ~TcpStream();
  TcpStream(TcpStream&& other) noexcept;
  TcpStream& operator=(TcpStream&& other) noexcept;
  TcpStream(const TcpStream&) = delete;
  TcpStream& operator=(const TcpStream&) = delete;

  // Connects to one address, giving up at `deadline`. An invalid stream and
  // a message on failure.
  [[nodiscard]] static TcpStream connect(const ResolvedAddress& to,
                                         Deadline deadline,
                                         std::string* error = nullptr);

  // Resolves `host`:`port` (any family) and tries each address in turn, each
  // for at most `perAddress`, never past `deadline`.
  [[nodiscard]] static TcpStream connect(std::string_view host,
                                         std::string_view port,
                                         std::chrono::milliseconds perAddress,
                                         Deadline deadline,
                                         std::string* error = nullptr);

  bool valid() const { return handle_ != kInvalidSocket; }
  void close();

  // Sends every byte or fails (peer gone, error, deadline).
  [[nodiscard]] bool sendAll(const void* data,
                             size_t size,
                             Deadline deadline) const;

  // Reads what is available, waiting until `deadline` for something: a byte
  // count, kSocketClosed when the peer closed, kSocketFailed or
  // kSocketTimedOut.
  [[nodiscard]] long receive(void* buffer,
                             size_t capacity,
                             Deadline deadline) const;

 private:
  friend class TcpListener;
  explicit TcpStream(NativeSocket handle) : handle_(handle) {}
  NativeSocket handle_ = kInvalidSocket;
};

// A listening TCP socket, for test peers and simulated devices.
class TcpListener {
 public:
  TcpListener() = default;
  ~TcpListener();
  TcpListener(TcpListener&& other) noexcept;
  TcpListener& operator=(TcpListener&& other) noexcept;
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  // Listens on `local` (port 0 picks a free one).
  [[nodiscard]] static TcpListener listen(const SocketAddress& local,
                                          int backlog,
                                          std::string* error = nullptr);

  bool valid() const { return handle_ != kInvalidSocket; }
  void close();
  SocketAddress localAddress() const;

  // Waits until `deadline` for a connection; an invalid stream when none
  // came or the listener failed.
  [[nodiscard]] TcpStream accept(Deadline deadline) const;

 private:
  explicit TcpListener(NativeSocket handle) : handle_(handle) {}
  NativeSocket handle_ = kInvalidSocket;
};

// A UDP socket. sendTo may be called from several threads at once; each
// datagram goes out whole.
class UdpSocket {
 public:
  UdpSocket() = default;
  ~UdpSocket();
  UdpSocket(UdpSocket&& other) noexcept;
  UdpSocket& operator=(UdpSocket&& other) noexcept;
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // An unbound socket for the family, type and protocol of `like`.
  [[nodiscard]] static UdpSocket open(const ResolvedAddress& like,
                                      std::string* error = nullptr);
  // A socket bound to `local` (no address reuse, so a taken address fails).
  [[nodiscard]] static UdpSocket bind(const SocketAddress& local,
                                      std::string* error = nullptr);
  // The same with address reuse, so that several sockets (a discovery and
  // a responder, two responders) can share a multicast port.
  [[nodiscard]] static UdpSocket bindShared(const SocketAddress& local,
                                            std::string* error = nullptr);

  bool valid() const { return handle_ != kInvalidSocket; }
  void close();

  // Sends one datagram; false when the OS refused it.
  [[nodiscard]] bool sendTo(const SocketAddress& to,
                            const void* data,
                            size_t size) const;

  // Waits up to `timeout` for one datagram: its size (datagrams longer than
  // `capacity` are cut), kSocketFailed or kSocketTimedOut.
  [[nodiscard]] long receiveFrom(void* buffer,
                                 size_t capacity,
                                 std::chrono::milliseconds timeout,
                                 SocketAddress* from = nullptr) const;

  // IPv4 multicast: how many routers a datagram sent to a group may cross.
  bool setMulticastTtl(int ttl) const;
  // Joins the IPv4 multicast group `group` (a dotted quad) on the interface
  // the routing table picks for it.
  bool joinMulticastGroup(std::string_view group) const;

  // Asks for a larger receive queue (best effort).
  void setReceiveBufferSize(int bytes) const;
  SocketAddress localAddress() const;

 private:
  explicit UdpSocket(NativeSocket handle) : handle_(handle) {}
  static UdpSocket bindUdp(const SocketAddress& local,
                           bool reuseAddress,
                           std::string* error);
  NativeSocket handle_ = kInvalidSocket;
};

}  // namespace pxo::platform
