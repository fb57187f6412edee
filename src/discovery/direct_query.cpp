#include "discovery/direct_query.h"

namespace brindle {

bool is_direct_query(const std::optional<Ipv4Address>& destination) {
  // 224 and above: multicast, the reserved block and the limited broadcast address.
  return destination.has_value() && (*destination)[0] < 224;
}

std::optional<Ipv4Endpoint> unicast_destination(const Reply& reply, const Ipv4Endpoint& source,
                                                bool direct) {
  if (!reply.multicast) return reply.destination;
  if (direct) return source;
  return std::nullopt;
}

}  // namespace brindle
