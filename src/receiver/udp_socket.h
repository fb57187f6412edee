// The receiver's UDP socket: dual-stack IPv6 with an IPv4 fallback, never inherited by children.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/result.h"
#include "receiver/socket_address.h"

namespace brindle {

class UdpSocket {
 public:
  using Handle = intptr_t;  // int on POSIX, SOCKET on Windows
  static constexpr Handle INVALID = -1;

  UdpSocket() = default;
  explicit UdpSocket(Handle handle) : handle_(handle) {}
  UdpSocket(UdpSocket&& other) noexcept : handle_(other.release()) {}
  UdpSocket& operator=(UdpSocket&& other) noexcept;
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;
  ~UdpSocket();

  bool valid() const { return handle_ != INVALID; }
  Handle handle() const { return handle_; }
  Handle release();
  void close();

  enum class ReceiveStatus { DATAGRAM, RETRY, FAILED };
  struct Received {
    ReceiveStatus status = ReceiveStatus::FAILED;
    size_t length = 0;  // bytes in the buffer, at most its size
    SocketAddress source;
    std::string error;         // FAILED only
    bool socket_lost = false;  // FAILED only: the socket is unusable and must be bound again
  };
  // Blocks for one datagram. A datagram longer than the buffer is never fatal: the platform
  // either truncates it or it is reported as RETRY. A closed socket fails as lost.
  Received receive_from(std::span<uint8_t> buffer) const;

 private:
  Handle handle_ = INVALID;
};

// Binds [::]:port with IPv6-only cleared, else 0.0.0.0:port. The error is the OS text.
Result<UdpSocket> bind_socket(uint16_t port);

}  // namespace brindle
