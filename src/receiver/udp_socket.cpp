#include "receiver/udp_socket.h"

#include <utility>

#include "platform/os_error.h"
#include "receiver/udp_socket_os.h"

namespace brindle {

namespace {

// The family's unspecified address ([::] or 0.0.0.0) on `port`.
SocketAddress any_address(OwnedSocket::Family family, uint16_t port) {
  if (family == OwnedSocket::Family::V6)
    return make_v6_address(std::array<uint8_t, 16>{}, port, 0, 0);
  return make_v4_address(std::array<uint8_t, 4>{}, port);
}

Result<OwnedSocket> open_claimed(OwnedSocket::Family family) {
  Result<OwnedSocket> socket = OwnedSocket::open(family);
  if (!socket) return socket;
  if (const Status claimed = udp_os::claim_port(*socket); !claimed) {
    return make_error(claimed.error());
  }
  return socket;
}

}  // namespace

UdpSocket::Received UdpSocket::receive_from(std::span<uint8_t> buffer) const {
  if (!valid()) {
    Received closed;
    closed.error = "socket is closed";
    closed.socket_lost = true;
    return closed;
  }
  const udp_os::Datagram datagram = udp_os::receive(handle(), buffer);
  Received received;
  if (datagram.error == 0) {
    received.status = ReceiveStatus::DATAGRAM;
    received.length = datagram.length;
    received.source = datagram.source;
    return received;
  }
  const udp_os::Failure failure = udp_os::classify(datagram.error);
  if (failure == udp_os::Failure::RETRY) {
    received.status = ReceiveStatus::RETRY;
    return received;
  }
  received.error = os_error_text(datagram.error);
  received.socket_lost = failure == udp_os::Failure::LOST;
  return received;
}

Result<UdpSocket> bind_socket(uint16_t port) {
  using Family = OwnedSocket::Family;
  Result<OwnedSocket> v6 = open_claimed(Family::V6);
  if (!v6) return make_error(v6.error());
  udp_os::clear_v6_only(*v6);
  if (v6->bind(any_address(Family::V6, port))) return UdpSocket(std::move(*v6));
  // The IPv6 error is dropped: when the fallback fails too, its error is the one that counts.
  v6->close();

  Result<OwnedSocket> v4 = open_claimed(Family::V4);
  if (!v4) return make_error(v4.error());
  const Status bound = v4->bind(any_address(Family::V4, port));
  if (!bound) return make_error(bound.error());
  return UdpSocket(std::move(*v4));
}

}  // namespace brindle
