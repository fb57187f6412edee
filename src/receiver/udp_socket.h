// The receiver's UDP socket: dual-stack IPv6 with an IPv4 fallback, never inherited by children.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "platform/result.h"
#include "platform/socket_address.h"
#include "platform/udp_socket.h"

namespace brindle {

class UdpSocket {
 public:
  using Handle = OwnedSocket::Handle;

  UdpSocket() = default;
  explicit UdpSocket(OwnedSocket socket) : socket_(std::move(socket)) {}

  bool valid() const { return socket_.valid(); }
  Handle handle() const { return socket_.handle(); }
  void close() { socket_.close(); }

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
  OwnedSocket socket_;
};

// Binds [::]:port with IPv6-only cleared, else 0.0.0.0:port. The error is the OS text.
Result<UdpSocket> bind_socket(uint16_t port);

}  // namespace brindle
