// SocketAddress to and from the OS's sockaddr, for the files that make the socket calls.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdint>
#include <span>
#include <vector>

#include "platform/socket_address.h"

namespace brindle {

struct OsSocketAddress {
  sockaddr_storage storage{};
  int length = 0;

  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

OsSocketAddress to_os_address(const SocketAddress& address);
// An AF_INET6 address, else an AF_INET one.
SocketAddress from_os_address(const sockaddr_storage& storage);
in_addr to_in_addr(std::span<const uint8_t, 4> ip);

// What getaddrinfo is asked for a UDP destination, and what its answer holds.
addrinfo udp_hints();
std::vector<SocketAddress> from_address_list(const addrinfo* list);

}  // namespace brindle
