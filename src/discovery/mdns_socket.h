// A UDP socket of the responder: port 5353 on all IPv4 addresses, shared with any other
// responder on the machine. The responder holds one per link, joined to the mDNS group on that
// interface only (a socket's memberships are limited in number, so one socket for all links
// would leave links out), and one without memberships for unicast. The only OS seam of the
// responder besides the interface list and its wake-ups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "discovery/interface_addresses.h"
#include "discovery/ipv4.h"
#include "discovery/mdns_sender.h"
#include "platform/result.h"
#include "platform/udp_socket.h"

namespace brindle {

// Owned by the responder thread after creation; not shared between threads.
class MdnsSocket final : public MdnsSender {
 public:
  using Handle = OwnedSocket::Handle;

  // Binds 0.0.0.0:5353 (never the group address) with address reuse, so that other responders
  // keep working; multicast TTL 255, multicast loopback on. It receives the group only where it
  // joined it itself.
  static Result<MdnsSocket> open();

  MdnsSocket() = default;

  bool valid() const { return socket_.valid(); }
  Handle handle() const { return socket_.handle(); }

  // Joins or leaves 224.0.0.251 on this interface; leaving works after its address is gone.
  Status join_group(const MulticastInterface& iface);
  Status leave_group(const MulticastInterface& iface);

  Status send_multicast(const MulticastInterface& iface, std::span<const uint8_t> bytes) override;
  Status send_to(const Ipv4Endpoint& destination, std::span<const uint8_t> bytes) override;

  enum class ReceiveStatus { DATAGRAM, NOTHING, FAILED };
  struct Received {
    ReceiveStatus status = ReceiveStatus::FAILED;
    size_t length = 0;       // bytes in the buffer
    bool truncated = false;  // the datagram was longer than the buffer
    Ipv4Endpoint source;
    uint32_t arrival_index = 0;  // the interface it came in on; 0 when the system does not say
    std::optional<Ipv4Address> destination;  // the address it was sent to, when the system says
    std::string error;                       // FAILED only
  };
  // One waiting datagram, without blocking.
  Received try_receive(std::span<uint8_t> buffer);

 private:
  explicit MdnsSocket(OwnedSocket socket) : socket_(std::move(socket)) {}
  // Everything open() sets before binding; the error is the OS text.
  Status set_options();
  // IP_MULTICAST_IF: where the next multicast goes out.
  Status choose_interface(const MulticastInterface& iface);
  OwnedSocket socket_;
};

}  // namespace brindle
