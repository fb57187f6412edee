#include "discovery/network_view.h"

#include <algorithm>

namespace brindle {
namespace {

bool same_interface(const MulticastInterface& a, const MulticastInterface& b) {
  return (a.index != 0 && b.index != 0) ? a.index == b.index : a.address == b.address;
}

// A querier on this link; loopback is the machine itself, on every link and none.
bool holds(const LinkView& link, const Ipv4Address& source) {
  return source[0] != 127 && is_on_link(source, link.subnets);
}

const LinkView* by_index(std::span<const LinkView> links, uint32_t index) {
  if (index == 0) return nullptr;
  const auto found = std::find_if(links.begin(), links.end(),
                                  [&](const LinkView& l) { return l.iface.index == index; });
  return found == links.end() ? nullptr : &*found;
}

const LinkView* by_subnet(std::span<const LinkView> links, const Ipv4Address& source) {
  const auto found =
      std::find_if(links.begin(), links.end(), [&](const LinkView& l) { return holds(l, source); });
  return found == links.end() ? nullptr : &*found;
}

}  // namespace

NetworkView network_view(std::span<const InterfaceAddress> entries) {
  NetworkView view{filter_lan_ipv4(entries), multicast_subnets(entries), multicast_links(entries)};
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
  change.usable_changed = before.usable != after.usable;
  for (const auto& link : after.links) {
    const LinkView* old = find_link(before.links, link.iface);
    if (old == nullptr || old->addresses != link.addresses) change.links_changed = true;
  }
  if (before.links.size() != after.links.size()) change.links_changed = true;
  return change;
}

const LinkView* find_link(std::span<const LinkView> links, const MulticastInterface& iface) {
  const auto found = std::find_if(links.begin(), links.end(), [&](const LinkView& l) {
    return same_interface(l.iface, iface);
  });
  return found == links.end() ? nullptr : &*found;
}

const LinkView* multicast_link(std::span<const LinkView> links, uint32_t arrival_index,
                               const Ipv4Address& source) {
  if (arrival_index != 0) return by_index(links, arrival_index);
  return by_subnet(links, source);
}

const LinkView* unicast_link(std::span<const LinkView> links, uint32_t arrival_index,
                             const Ipv4Address& source) {
  const LinkView* arrived = by_index(links, arrival_index);
  if (arrived != nullptr && holds(*arrived, source)) return arrived;
  return by_subnet(links, source);
}

}  // namespace brindle
