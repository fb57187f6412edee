// The machine's interface addresses and the IPv4 ones worth advertising on a LAN.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "discovery/ipv4.h"
#include "platform/result.h"

namespace brindle {

// One unicast address of one adapter.
struct InterfaceAddress {
  std::string adapter;   // the OS's adapter name
  uint32_t index = 0;    // the OS's interface index; 0 when unknown
  bool is_ipv4 = false;  // IPv6 entries carry no address here: nothing uses them
  Ipv4Address ipv4{};
  uint8_t prefix_length = 32;  // of the on-link subnet; IPv4 only
};

// An adapter the responder multicasts on: by index where known, by one of its addresses else.
struct MulticastInterface {
  uint32_t index = 0;
  Ipv4Address address{};  // all zero once the adapter holds no usable address any more

  bool operator==(const MulticastInterface&) const = default;
};

struct Ipv4Subnet {
  Ipv4Address address{};
  uint8_t prefix_length = 32;

  bool operator==(const Ipv4Subnet&) const = default;
};

// One adapter the service is advertised on. Its link hears only the addresses it holds: an
// address of another adapter may be unreachable from there.
struct LinkView {
  MulticastInterface iface;
  std::vector<Ipv4Address> addresses;  // usable ones, no duplicates, advertised on this link only
  std::vector<Ipv4Subnet> subnets;     // all of the adapter's: where its queriers are

  bool operator==(const LinkView&) const = default;
};

// Every unicast address of every adapter, in the order the OS reports them.
Result<std::vector<InterfaceAddress>> list_interface_addresses();

// Not loopback (127/8), not link-local (169.254/16), not shared address space (100.64/10).
bool is_lan_ipv4(const Ipv4Address& address);

// The usable IPv4 addresses in enumeration order.
std::vector<Ipv4Address> filter_lan_ipv4(std::span<const InterfaceAddress> entries);

// One usable address per adapter (its first), naming the adapter for multicast membership and
// sending; adapters are told apart by index, or by name when the index is unknown.
std::vector<Ipv4Address> multicast_interface_addresses(std::span<const InterfaceAddress> entries);
std::vector<MulticastInterface> multicast_interfaces(std::span<const InterfaceAddress> entries);

// The adapters of multicast_interfaces, in the same order, each with its own addresses.
std::vector<LinkView> multicast_links(std::span<const InterfaceAddress> entries);

// Every IPv4 subnet of the adapters chosen for multicast, link-local ones included: the link a
// querier must be on to be answered.
std::vector<Ipv4Subnet> multicast_subnets(std::span<const InterfaceAddress> entries);

// The source lies in one of the subnets, or is this machine's own loopback.
bool is_on_link(const Ipv4Address& source, std::span<const Ipv4Subnet> subnets);

// "192.168.1.20,10.0.0.5".
std::string join_addresses(std::span<const Ipv4Address> addresses);

}  // namespace brindle
