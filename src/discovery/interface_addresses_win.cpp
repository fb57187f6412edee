#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "discovery/interface_addresses.h"
#include "platform/os_error.h"
#include "platform/utf8.h"

namespace brindle {
namespace {

constexpr ULONG ADAPTER_FLAGS =
    GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;

}  // namespace

Result<std::vector<InterfaceAddress>> list_interface_addresses() {
  // The list can grow between the size query and the fetch, so the fetch is retried a few times.
  ULONG size = 16 * 1024;
  std::vector<unsigned char> storage;
  ULONG rc = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 4 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
    storage.assign(size, 0);
    rc = ::GetAdaptersAddresses(AF_UNSPEC, ADAPTER_FLAGS, nullptr,
                                reinterpret_cast<IP_ADAPTER_ADDRESSES*>(storage.data()), &size);
  }
  std::vector<InterfaceAddress> out;
  if (rc == ERROR_NO_DATA) return out;
  if (rc != ERROR_SUCCESS) return make_error(os_error_text(static_cast<int>(rc)));

  for (auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(storage.data());
       adapter != nullptr; adapter = adapter->Next) {
    const std::string name = adapter->AdapterName != nullptr ? adapter->AdapterName : "";
    for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress;
         unicast != nullptr; unicast = unicast->Next) {
      const sockaddr* const address = unicast->Address.lpSockaddr;
      if (address == nullptr) continue;
      if (address->sa_family != AF_INET && address->sa_family != AF_INET6) continue;
      InterfaceAddress entry;
      entry.adapter = name;
      entry.is_ipv4 = address->sa_family == AF_INET;
      entry.index = entry.is_ipv4 ? adapter->IfIndex : adapter->Ipv6IfIndex;
      if (entry.is_ipv4) {
        sockaddr_in sin{};
        std::memcpy(&sin, address, sizeof sin);
        std::memcpy(entry.ipv4.data(), &sin.sin_addr, 4);
        entry.prefix_length =
            static_cast<uint8_t>(std::min<UINT8>(unicast->OnLinkPrefixLength, 32));
      }
      out.push_back(std::move(entry));
    }
  }
  return out;
}

}  // namespace brindle
