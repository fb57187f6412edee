#include <winsock2.h>
#include <ws2tcpip.h>

#include <mstcpip.h>
#include <mswsock.h>

#include <cstring>

#include "discovery/mdns_replies.h"
#include "discovery/mdns_socket.h"
#include "platform/os_error.h"
#include "platform/socket_address_os.h"

namespace brindle {
namespace {

SOCKET socket_of(MdnsSocket::Handle handle) {
  return static_cast<SOCKET>(handle);
}

}  // namespace

Status MdnsSocket::set_options() {
  const OwnedSocket& s = socket_;
  // Winsock options take DWORDs. SO_REUSEADDR lets us share 5353 with the system's own
  // responder, which does not claim the port exclusively.
  const DWORD on = 1;
  const DWORD ttl = 255;
  if (!s.set_option(SOL_SOCKET, SO_REUSEADDR, on) ||
      !s.set_option(IPPROTO_IP, IP_MULTICAST_TTL, ttl) || !s.set_option(IPPROTO_IP, IP_TTL, ttl) ||
      !s.set_option(IPPROTO_IP, IP_MULTICAST_LOOP, on)) {
    return make_error(last_socket_error_text());
  }
  return {};
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

Status set_membership(const OwnedSocket& s, int option, in_addr iface) {
  ip_mreq request{};
  request.imr_multiaddr = to_in_addr(MDNS_GROUP);
  request.imr_interface = iface;
  return s.set_option(IPPROTO_IP, option, request);
}

}  // namespace

Status MdnsSocket::join_group(const MulticastInterface& iface) {
  return set_membership(socket_, IP_ADD_MEMBERSHIP, interface_of(iface, false));
}

Status MdnsSocket::leave_group(const MulticastInterface& iface) {
  Status left = set_membership(socket_, IP_DROP_MEMBERSHIP, interface_of(iface, false));
  // Once its address is gone the interface is found by index only.
  if (!left && iface.index != 0) {
    left = set_membership(socket_, IP_DROP_MEMBERSHIP, interface_of(iface, true));
  }
  return left;
}

Status MdnsSocket::choose_interface(const MulticastInterface& iface) {
  return socket_.set_option(IPPROTO_IP, IP_MULTICAST_IF, interface_of(iface, false));
}

MdnsSocket::Received MdnsSocket::try_receive(std::span<uint8_t> buffer) {
  Received result;
  sockaddr_in from{};
  int from_length = sizeof from;
  // The socket is non-blocking once the responder's wake-ups watch it.
  const int n = ::recvfrom(socket_of(handle()), reinterpret_cast<char*>(buffer.data()),
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
