#include "discovery/network_view.h"

#include <algorithm>

namespace brindle {
namespace {

bool same_interface(const MulticastInterface& a, const MulticastInterface& b) {
  return (a.index != 0 && b.index != 0) ? a.index == b.index : a.address == b.address;
}

// The interfaces of `from` with no match in `in`.
std::vector<MulticastInterface> missing(const std::vector<MulticastInterface>& from,
                                        const std::vector<MulticastInterface>& in) {
  std::vector<MulticastInterface> out;
  for (const auto& f : from) {
    if (std::none_of(in.begin(), in.end(),
                     [&](const MulticastInterface& i) { return same_interface(f, i); })) {
      out.push_back(f);
    }
  }
  return out;
}

}  // namespace

NetworkView network_view(std::span<const InterfaceAddress> entries) {
  NetworkView view{filter_lan_ipv4(entries), multicast_interfaces(entries),
                   multicast_subnets(entries)};
  // An address on two adapters is advertised once.
  std::vector<Ipv4Address> unique;
  for (const auto& a : view.usable) {
    if (std::find(unique.begin(), unique.end(), a) == unique.end()) unique.push_back(a);
  }
  view.usable = std::move(unique);
  return view;
}

NetworkChange compare_views(const NetworkView& before, const NetworkView& after) {
  NetworkChange change;
  change.joined = missing(after.interfaces, before.interfaces);
  change.left = missing(before.interfaces, after.interfaces);
  for (const auto& a : after.interfaces) {
    const bool moved = std::any_of(before.interfaces.begin(), before.interfaces.end(),
                                   [&](const MulticastInterface& b) {
                                     return same_interface(a, b) && a.address != b.address;
                                   });
    if (moved) change.readdressed.push_back(a);
  }
  for (const auto& a : before.usable) {
    if (std::find(after.usable.begin(), after.usable.end(), a) == after.usable.end()) {
      change.gone.push_back(a);
    }
  }
  change.usable_changed = before.usable != after.usable;
  return change;
}

}  // namespace brindle
