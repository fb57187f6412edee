// What answering needs of a responder socket: a way out. Tests put a recorder in its place.
#pragma once

#include <cstdint>
#include <span>

#include "discovery/interface_addresses.h"
#include "discovery/ipv4.h"
#include "platform/result.h"

namespace brindle {

class MdnsSender {
 public:
  // To 224.0.0.251:5353 out of this interface, from its address where it still has one.
  virtual Status send_multicast(const MulticastInterface& iface,
                                std::span<const uint8_t> bytes) = 0;
  virtual Status send_to(const Ipv4Endpoint& destination, std::span<const uint8_t> bytes) = 0;

 protected:
  ~MdnsSender() = default;
};

}  // namespace brindle
