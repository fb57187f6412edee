// A socket address free of OS types: a datagram's source, a destination.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace brindle {

struct SocketAddress {
  bool is_v6 = false;
  std::array<uint8_t, 16> ip{};  // IPv4 uses the first 4 bytes
  uint16_t port = 0;
  uint32_t flowinfo = 0;
  uint32_t scope_id = 0;

  bool operator==(const SocketAddress&) const = default;
};

// From the fields of a sockaddr_in / sockaddr_in6, already in host byte order.
SocketAddress make_v4_address(std::span<const uint8_t, 4> ip, uint16_t port);
SocketAddress make_v6_address(std::span<const uint8_t, 16> ip, uint16_t port, uint32_t flowinfo,
                              uint32_t scope_id);

// "1.2.3.4:5" or "[v6]:5" with RFC 5952 compression, "%scope" when non-zero and
// IPv4-mapped addresses as "::ffff:a.b.c.d".
std::string format_socket_address(const SocketAddress& address);

// The same without the port and the brackets: "1.2.3.4", "fe80::1%3".
std::string format_host(const SocketAddress& address);

}  // namespace brindle
