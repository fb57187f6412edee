// What the responder needs to know about the machine's addresses, and what changed between two
// looks at them. Pure functions: the responder thread applies the difference to its socket.
#pragma once

#include <span>
#include <vector>

#include "discovery/interface_addresses.h"
#include "discovery/ipv4.h"

namespace brindle {

struct NetworkView {
  std::vector<Ipv4Address> usable;  // the advertised addresses, enumeration order
  std::vector<Ipv4Subnet> subnets;  // the links queries are answered on
  std::vector<LinkView> links;      // one per adapter with a usable address
};

NetworkView network_view(std::span<const InterfaceAddress> entries);

struct NetworkChange {
  bool usable_changed = false;  // another set or order of advertised addresses
  bool links_changed = false;   // a link holds other addresses than before
};

// Adapters are matched by index, or by address when the index is unknown.
NetworkChange compare_views(const NetworkView& before, const NetworkView& after);

// The link `iface` names in `links` (matched like adapters above), if it is still there.
const LinkView* find_link(std::span<const LinkView> links, const MulticastInterface& iface);

// Where a query is answered. A multicast reply goes out on the link the query arrived on (its
// interface index; by the querier's subnet when the index is unknown), and on none when that
// link has gone meanwhile. A unicast reply carries the addresses of the link whose subnet holds
// the querier, the arrival link first. None for a querier on no link's subnet.
const LinkView* multicast_link(std::span<const LinkView> links, uint32_t arrival_index,
                               const Ipv4Address& source);
const LinkView* unicast_link(std::span<const LinkView> links, uint32_t arrival_index,
                             const Ipv4Address& source);

}  // namespace brindle
