#include "discovery/interface_addresses.h"

#include <algorithm>

namespace brindle {

bool is_lan_ipv4(const Ipv4Address& a) {
  const bool loopback = a[0] == 127;
  const bool link_local = a[0] == 169 && a[1] == 254;
  const bool shared_space = a[0] == 100 && a[1] >= 64 && a[1] <= 127;
  return !loopback && !link_local && !shared_space;
}

std::vector<Ipv4Address> filter_lan_ipv4(std::span<const InterfaceAddress> entries) {
  std::vector<Ipv4Address> out;
  for (const auto& e : entries) {
    if (e.is_ipv4 && is_lan_ipv4(e.ipv4)) out.push_back(e.ipv4);
  }
  return out;
}

std::vector<Ipv4Address> multicast_interface_addresses(std::span<const InterfaceAddress> entries) {
  std::vector<const InterfaceAddress*> chosen;
  for (const auto& e : entries) {
    if (!e.is_ipv4 || !is_lan_ipv4(e.ipv4)) continue;
    const bool seen = std::any_of(chosen.begin(), chosen.end(), [&](const InterfaceAddress* c) {
      return (e.index != 0 && c->index != 0) ? c->index == e.index : c->adapter == e.adapter;
    });
    if (!seen) chosen.push_back(&e);
  }
  std::vector<Ipv4Address> out;
  for (const auto* c : chosen) out.push_back(c->ipv4);
  return out;
}

std::string join_addresses(std::span<const Ipv4Address> addresses) {
  std::string text;
  for (const auto& a : addresses) {
    if (!text.empty()) text += ',';
    text += format_ipv4(a);
  }
  return text;
}

}  // namespace brindle
