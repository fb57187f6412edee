#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <bit>
#include <cstring>
#include <memory>

#include "discovery/interface_addresses.h"
#include "platform/os_error.h"

namespace brindle {
namespace {

struct IfaddrsDeleter {
  void operator()(ifaddrs* list) const { ::freeifaddrs(list); }
};

// "eth0:1" is an address label of eth0; the index belongs to the device.
uint32_t device_index(const char* name) {
  std::string device(name);
  device = device.substr(0, device.find(':'));
  return ::if_nametoindex(device.c_str());
}

}  // namespace

Result<std::vector<InterfaceAddress>> list_interface_addresses() {
  ifaddrs* raw = nullptr;
  if (::getifaddrs(&raw) != 0) return make_error(last_os_error_text());
  const std::unique_ptr<ifaddrs, IfaddrsDeleter> list(raw);
  std::vector<InterfaceAddress> out;
  for (const ifaddrs* it = list.get(); it != nullptr; it = it->ifa_next) {
    if (it->ifa_addr == nullptr) continue;
    const int family = it->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;  // link-layer entries are no addresses
    InterfaceAddress entry;
    entry.adapter = it->ifa_name != nullptr ? it->ifa_name : "";
    entry.index = it->ifa_name != nullptr ? device_index(it->ifa_name) : 0;
    entry.is_ipv4 = family == AF_INET;
    if (entry.is_ipv4) {
      sockaddr_in sin{};
      std::memcpy(&sin, it->ifa_addr, sizeof sin);
      std::memcpy(entry.ipv4.data(), &sin.sin_addr, 4);
      if (it->ifa_netmask != nullptr) {
        sockaddr_in mask{};
        std::memcpy(&mask, it->ifa_netmask, sizeof mask);
        entry.prefix_length = static_cast<uint8_t>(std::popcount(ntohl(mask.sin_addr.s_addr)));
      }
    }
    out.push_back(std::move(entry));
  }
  return out;
}

}  // namespace brindle
