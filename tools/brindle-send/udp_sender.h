// A UDP socket that sends to one resolved destination. Move-only; closes its socket.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/result.h"
#include "platform/socket_address.h"
#include "platform/udp_socket.h"

namespace brindle::send {

class UdpSender {
 public:
  // Resolves `host` (IPv4 or IPv6 literal, or a name) and opens a socket for the first
  // address that takes one. The socket is never connected, so ICMP "port unreachable" from
  // a receiver that is not running yet cannot fail later sends.
  static Result<UdpSender> open(const std::string& host, uint16_t port);

  Status send(std::span<const uint8_t> datagram) const;

  // The destination as numbers: "127.0.0.1:45333" or "[::1]:45333".
  const std::string& destination() const { return destination_; }

 private:
  UdpSender(OwnedSocket socket, const SocketAddress& address);
  OwnedSocket socket_;
  SocketAddress address_;
  std::string destination_;
};

}  // namespace brindle::send
