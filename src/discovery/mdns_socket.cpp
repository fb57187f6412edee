#include "discovery/mdns_socket.h"

#include "discovery/mdns_replies.h"

namespace brindle {

Result<MdnsSocket> MdnsSocket::open() {
  Result<OwnedSocket> opened = OwnedSocket::open(OwnedSocket::Family::V4);
  if (!opened) return make_error(opened.error());
  MdnsSocket socket(std::move(*opened));
  if (const Status set = socket.set_options(); !set) return make_error(set.error());
  if (const Status bound = socket.socket_.bind(make_v4_address(Ipv4Address{}, MDNS_PORT)); !bound) {
    return make_error(bound.error());
  }
  return socket;
}

Status MdnsSocket::send_multicast(const MulticastInterface& iface, std::span<const uint8_t> bytes) {
  if (const Status chosen = choose_interface(iface); !chosen) return chosen;
  return send_to(Ipv4Endpoint{MDNS_GROUP, MDNS_PORT}, bytes);
}

Status MdnsSocket::send_to(const Ipv4Endpoint& destination, std::span<const uint8_t> bytes) {
  return socket_.send_to(make_v4_address(destination.address, destination.port), bytes);
}

}  // namespace brindle
