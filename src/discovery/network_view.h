// What the responder needs to know about the machine's addresses, and what changed between two
// looks at them. Pure functions: the responder thread applies the difference to its socket.
#pragma once

#include <span>
#include <vector>

#include "discovery/interface_addresses.h"
#include "discovery/ipv4.h"

namespace brindle {

struct NetworkView {
  std::vector<Ipv4Address> usable;             // the advertised addresses, enumeration order
  std::vector<MulticastInterface> interfaces;  // one per adapter with a usable address
  std::vector<Ipv4Subnet> subnets;             // the links queries are answered on
};

NetworkView network_view(std::span<const InterfaceAddress> entries);

struct NetworkChange {
  std::vector<MulticastInterface> joined;       // adapters new to the set (their current address)
  std::vector<MulticastInterface> left;         // adapters no longer in it (their old address)
  std::vector<MulticastInterface> readdressed;  // adapters still in it under another address
  std::vector<Ipv4Address> gone;                // usable addresses no longer held
  bool usable_changed = false;                  // another set or order of advertised addresses
};

// Adapters are matched by index, or by address when the index is unknown; an adapter whose
// address changed is readdressed, neither joined nor left.
NetworkChange compare_views(const NetworkView& before, const NetworkView& after);

}  // namespace brindle
