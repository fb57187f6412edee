#include <winsock2.h>
#include <ws2tcpip.h>

#include <mstcpip.h>
#include <mswsock.h>

#include <cstring>

#include "discovery/mdns_replies.h"
#include "discovery/mdns_socket.h"
#include "platform/os_error.h"
#include "platform/winsock_win.h"

namespace brindle {
namespace {

SOCKET socket_of(MdnsSocket::Handle handle) {
  return static_cast<SOCKET>(handle);
}

in_addr to_in_addr(const Ipv4Address& address) {
  in_addr out{};
  std::memcpy(&out, address.data(), 4);
  return out;
}

sockaddr_in to_sockaddr(const Ipv4Endpoint& endpoint) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(endpoint.port);
  sin.sin_addr = to_in_addr(endpoint.address);
  return sin;
}

template <class T>
bool set_option(SOCKET s, int level, int name, const T& value) {
  return ::setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

Status send_datagram(SOCKET s, const Ipv4Endpoint& destination, std::span<const uint8_t> bytes) {
  const sockaddr_in to = to_sockaddr(destination);
  const int n =
      ::sendto(s, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
               reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (n == SOCKET_ERROR) return make_error(last_socket_error_text());
  return {};
}

}  // namespace

Result<MdnsSocket> MdnsSocket::open() {
  if (const std::string& failure = ensure_winsock(); !failure.empty()) return make_error(failure);
  const SOCKET s =
      ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return make_error(last_socket_error_text());
  MdnsSocket socket(static_cast<Handle>(s));
  // Winsock options take DWORDs. SO_REUSEADDR lets us share 5353 with the system's own
  // responder, which does not claim the port exclusively.
  const DWORD on = 1;
  const DWORD ttl = 255;
  if (!set_option(s, SOL_SOCKET, SO_REUSEADDR, on) ||
      !set_option(s, IPPROTO_IP, IP_MULTICAST_TTL, ttl) ||
      !set_option(s, IPPROTO_IP, IP_TTL, ttl) ||
      !set_option(s, IPPROTO_IP, IP_MULTICAST_LOOP, on)) {
    return make_error(last_socket_error_text());
  }
  // Without this an ICMP "port unreachable" for one legacy unicast answer would surface as an
  // error on a later receive.
  BOOL report_resets = FALSE;
  DWORD returned = 0;
  (void)::WSAIoctl(s, SIO_UDP_CONNRESET, &report_resets, sizeof report_resets, nullptr, 0,
                   &returned, nullptr, nullptr);
  const sockaddr_in any = to_sockaddr(Ipv4Endpoint{{0, 0, 0, 0}, MDNS_PORT});
  if (::bind(s, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
    return make_error(last_socket_error_text());
  }
  return socket;
}

MdnsSocket& MdnsSocket::operator=(MdnsSocket&& other) noexcept {
  if (this != &other) {
    if (valid()) ::closesocket(socket_of(handle_));
    handle_ = other.handle_;
    other.handle_ = INVALID;
  }
  return *this;
}

MdnsSocket::~MdnsSocket() {
  if (valid()) ::closesocket(socket_of(handle_));
}

namespace {

// Winsock takes an interface index where an address would go, written as 0.0.0.index.
in_addr interface_of(const MulticastInterface& iface, bool by_index) {
  if (by_index || iface.address == Ipv4Address{}) {
    in_addr out{};
    out.s_addr = htonl(iface.index);
    return out;
  }
  return to_in_addr(iface.address);
}

Status set_membership(SOCKET s, int option, in_addr iface) {
  ip_mreq request{};
  request.imr_multiaddr = to_in_addr(MDNS_GROUP);
  request.imr_interface = iface;
  if (!set_option(s, IPPROTO_IP, option, request)) return make_error(last_socket_error_text());
  return {};
}

}  // namespace

Status MdnsSocket::join_group(const MulticastInterface& iface) {
  return set_membership(socket_of(handle_), IP_ADD_MEMBERSHIP, interface_of(iface, false));
}

Status MdnsSocket::leave_group(const MulticastInterface& iface) {
  const SOCKET s = socket_of(handle_);
  Status left = set_membership(s, IP_DROP_MEMBERSHIP, interface_of(iface, false));
  // Once its address is gone the interface is found by index only.
  if (!left && iface.index != 0) {
    left = set_membership(s, IP_DROP_MEMBERSHIP, interface_of(iface, true));
  }
  return left;
}

Status MdnsSocket::send_multicast(const MulticastInterface& iface, std::span<const uint8_t> bytes) {
  const SOCKET s = socket_of(handle_);
  if (!set_option(s, IPPROTO_IP, IP_MULTICAST_IF, interface_of(iface, false))) {
    return make_error(last_socket_error_text());
  }
  return send_datagram(s, Ipv4Endpoint{MDNS_GROUP, MDNS_PORT}, bytes);
}

Status MdnsSocket::send_to(const Ipv4Endpoint& destination, std::span<const uint8_t> bytes) {
  return send_datagram(socket_of(handle_), destination, bytes);
}

MdnsSocket::Received MdnsSocket::try_receive(std::span<uint8_t> buffer) {
  Received result;
  sockaddr_in from{};
  int from_length = sizeof from;
  // The socket is non-blocking once the responder's wake-ups watch it.
  const int n = ::recvfrom(socket_of(handle_), reinterpret_cast<char*>(buffer.data()),
                           static_cast<int>(buffer.size()), 0, reinterpret_cast<sockaddr*>(&from),
                           &from_length);
  if (n == SOCKET_ERROR) {
    const int code = ::WSAGetLastError();
    if (code == WSAEMSGSIZE) {
      // Winsock fills the buffer with the head of an over-long datagram and says so.
      result.status = ReceiveStatus::DATAGRAM;
      result.truncated = true;
      result.length = buffer.size();
    } else if (code == WSAEWOULDBLOCK || code == WSAEINTR || code == WSAECONNRESET ||
               code == WSAENETRESET) {
      result.status = ReceiveStatus::NOTHING;
      return result;
    } else {
      result.error = os_error_text(code);
      return result;
    }
  } else {
    result.status = ReceiveStatus::DATAGRAM;
    result.length = static_cast<size_t>(n);
  }
  std::memcpy(result.source.address.data(), &from.sin_addr, 4);
  result.source.port = ntohs(from.sin_port);
  return result;
}

}  // namespace brindle
