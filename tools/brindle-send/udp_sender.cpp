#include "udp_sender.h"

#include <utility>
#include <vector>

#include <fmt/format.h>

namespace brindle::send {

UdpSender::UdpSender(OwnedSocket socket, const SocketAddress& address)
    : socket_(std::move(socket)), address_(address), destination_(format_socket_address(address)) {}

Result<UdpSender> UdpSender::open(const std::string& host, uint16_t port) {
  const Result<std::vector<SocketAddress>> addresses = resolve_udp(host, port);
  if (!addresses) return make_error(fmt::format("cannot resolve {}: {}", host, addresses.error()));
  std::string last_error = "no address";
  for (const SocketAddress& address : *addresses) {
    Result<OwnedSocket> socket =
        OwnedSocket::open(address.is_v6 ? OwnedSocket::Family::V6 : OwnedSocket::Family::V4);
    if (!socket) {
      last_error = socket.error();
      continue;
    }
    return UdpSender(std::move(*socket), address);
  }
  return make_error(fmt::format("cannot open a UDP socket for {}: {}", host, last_error));
}

Status UdpSender::send(std::span<const uint8_t> datagram) const {
  return socket_.send_to(address_, datagram);
}

}  // namespace brindle::send
