// RFC 6762 section 5.5: a query sent straight to one of our addresses on port 5353, not to the
// group, is answered by unicast to the querier alone.
#pragma once

#include <optional>

#include "discovery/ipv4.h"
#include "discovery/mdns_replies.h"

namespace brindle {

// Whether a datagram with this destination (from packet info; unknown when the system does not
// say) was sent to a unicast address of ours rather than to a multicast or broadcast one.
bool is_direct_query(const std::optional<Ipv4Address>& destination);

// Where one reply to the query from `source` goes by unicast; none for the group.
std::optional<Ipv4Endpoint> unicast_destination(const Reply& reply, const Ipv4Endpoint& source,
                                                bool direct);

}  // namespace brindle
