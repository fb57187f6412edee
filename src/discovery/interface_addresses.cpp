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

namespace {

bool same_adapter(const InterfaceAddress& a, const InterfaceAddress& b) {
  return (a.index != 0 && b.index != 0) ? a.index == b.index : a.adapter == b.adapter;
}

std::vector<const InterfaceAddress*> chosen_adapters(std::span<const InterfaceAddress> entries) {
  std::vector<const InterfaceAddress*> chosen;
  for (const auto& e : entries) {
    if (!e.is_ipv4 || !is_lan_ipv4(e.ipv4)) continue;
    const bool seen = std::any_of(chosen.begin(), chosen.end(),
                                  [&](const InterfaceAddress* c) { return same_adapter(*c, e); });
    if (!seen) chosen.push_back(&e);
  }
  return chosen;
}

uint32_t host_order(const Ipv4Address& a) {
  return (uint32_t{a[0]} << 24) | (uint32_t{a[1]} << 16) | (uint32_t{a[2]} << 8) | a[3];
}

}  // namespace

std::vector<Ipv4Address> multicast_interface_addresses(std::span<const InterfaceAddress> entries) {
  std::vector<Ipv4Address> out;
  for (const auto* c : chosen_adapters(entries)) out.push_back(c->ipv4);
  return out;
}

std::vector<MulticastInterface> multicast_interfaces(std::span<const InterfaceAddress> entries) {
  std::vector<MulticastInterface> out;
  for (const auto* c : chosen_adapters(entries)) out.push_back({c->index, c->ipv4});
  return out;
}

std::vector<LinkView> multicast_links(std::span<const InterfaceAddress> entries) {
  std::vector<LinkView> out;
  for (const auto* c : chosen_adapters(entries)) {
    LinkView link{{c->index, c->ipv4}, {}, {}};
    for (const auto& e : entries) {
      if (!e.is_ipv4 || !same_adapter(*c, e)) continue;
      link.subnets.push_back({e.ipv4, e.prefix_length});
      const bool fresh =
          std::find(link.addresses.begin(), link.addresses.end(), e.ipv4) == link.addresses.end();
      if (is_lan_ipv4(e.ipv4) && fresh) link.addresses.push_back(e.ipv4);
    }
    out.push_back(std::move(link));
  }
  return out;
}

std::vector<Ipv4Subnet> multicast_subnets(std::span<const InterfaceAddress> entries) {
  const auto chosen = chosen_adapters(entries);
  std::vector<Ipv4Subnet> out;
  for (const auto& e : entries) {
    if (!e.is_ipv4) continue;
    if (std::any_of(chosen.begin(), chosen.end(),
                    [&](const InterfaceAddress* c) { return same_adapter(*c, e); })) {
      out.push_back({e.ipv4, e.prefix_length});
    }
  }
  return out;
}

bool is_on_link(const Ipv4Address& source, std::span<const Ipv4Subnet> subnets) {
  if (source[0] == 127) return true;
  const uint32_t s = host_order(source);
  return std::any_of(subnets.begin(), subnets.end(), [&](const Ipv4Subnet& subnet) {
    const unsigned bits = std::min<unsigned>(subnet.prefix_length, 32);
    const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    return (s & mask) == (host_order(subnet.address) & mask);
  });
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
