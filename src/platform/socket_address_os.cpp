#include "platform/socket_address_os.h"

#include <array>
#include <cstring>

namespace brindle {

OsSocketAddress to_os_address(const SocketAddress& address) {
  OsSocketAddress out;
  if (address.is_v6) {
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(address.port);
    v6.sin6_flowinfo = htonl(address.flowinfo);
    v6.sin6_scope_id = address.scope_id;
    std::memcpy(&v6.sin6_addr, address.ip.data(), 16);
    std::memcpy(&out.storage, &v6, sizeof v6);
    out.length = sizeof v6;
  } else {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(address.port);
    std::memcpy(&v4.sin_addr, address.ip.data(), 4);
    std::memcpy(&out.storage, &v4, sizeof v4);
    out.length = sizeof v4;
  }
  return out;
}

SocketAddress from_os_address(const sockaddr_storage& storage) {
  if (storage.ss_family == AF_INET6) {
    sockaddr_in6 v6{};
    std::memcpy(&v6, &storage, sizeof v6);
    return make_v6_address(std::span<const uint8_t, 16>(v6.sin6_addr.s6_addr, 16),
                           ntohs(v6.sin6_port), ntohl(v6.sin6_flowinfo), v6.sin6_scope_id);
  }
  sockaddr_in v4{};
  std::memcpy(&v4, &storage, sizeof v4);
  std::array<uint8_t, 4> ip{};
  std::memcpy(ip.data(), &v4.sin_addr, ip.size());
  return make_v4_address(ip, ntohs(v4.sin_port));
}

in_addr to_in_addr(std::span<const uint8_t, 4> ip) {
  in_addr out{};
  std::memcpy(&out, ip.data(), ip.size());
  return out;
}

addrinfo udp_hints() {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  hints.ai_flags = AI_NUMERICSERV;
  return hints;
}

std::vector<SocketAddress> from_address_list(const addrinfo* list) {
  std::vector<SocketAddress> addresses;
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    sockaddr_storage storage{};
    std::memcpy(&storage, ai->ai_addr, ai->ai_addrlen);
    addresses.push_back(from_os_address(storage));
  }
  return addresses;
}

}  // namespace brindle
