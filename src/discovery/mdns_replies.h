// What the responder says, as bytes: announcements, goodbyes and the replies to queries for
// its service. Pure functions; the responder thread only moves their output to the sockets.
// Each takes the service as one link knows it: with that link's addresses only.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "discovery/dns_message.h"
#include "discovery/ipv4.h"
#include "discovery/multicast_limiter.h"
#include "discovery/service_record.h"
#include "discovery/unicast_limiter.h"

namespace brindle {

inline constexpr uint16_t MDNS_PORT = 5353;
inline constexpr Ipv4Address MDNS_GROUP{224, 0, 0, 251};
inline constexpr char SERVICES_ENUMERATION_NAME[] = "_services._dns-sd._udp.local.";

// RFC 6762 section 10: records naming the host live 120 s, the others 4500 s.
inline constexpr uint32_t HOST_RECORD_TTL = 120;
inline constexpr uint32_t OTHER_RECORD_TTL = 4500;
// Answers to queries from ordinary resolvers must not outlive this (RFC 6762 section 6.7).
inline constexpr uint32_t LEGACY_TTL_LIMIT = 10;
// The largest datagram sent: what crosses an Ethernet link without IP fragmentation.
inline constexpr size_t MAX_REPLY_BYTES = 1472;

struct Reply {
  bool multicast = false;    // to the group on the link
  Ipv4Endpoint destination;  // when not multicast
  std::vector<uint8_t> bytes;
};

using Messages = std::vector<std::vector<uint8_t>>;

// What bounds the replies to one datagram: the multicast limiter of the link it came from, the
// responder's unicast limiter, the time, and the random delay (20 to 120 ms, RFC 6762 section 6)
// before an answer with a shared record goes to the group; none of them when left empty.
struct ReplyLimits {
  MulticastLimiter* multicast = nullptr;
  UnicastLimiter* unicast = nullptr;
  MulticastLimiter::Clock::time_point now{};
  MulticastLimiter::Clock::duration shared_delay{};
};

// Replies that a datagram received from `source` calls for. Responses, malformed or
// unanswerable queries get none; a query that asks for nothing new (known answers) gets none.
// A question for a type that a name of ours lacks is answered with an NSEC record saying so. A
// reply larger than one datagram is split over several; an ordinary resolver, which reads
// only one, gets what fits with the truncation bit set. With a multicast limiter, the multicast
// reply leaves out every record multicast on the link during the last second (250 ms for a
// probe), the limiter notes what it carries and owes the link what was left out, and so does
// it with a shared answer until its delay is over; a question asking for a unicast reply is
// answered to the group when the record's last multicast is older than a quarter of its TTL.
// With a unicast limiter, records the querier was sent a moment ago are left out.
std::vector<Reply> replies_to_datagram(const ServiceRecord& service,
                                       std::span<const uint8_t> datagram,
                                       const Ipv4Endpoint& source, const ReplyLimits& limits = {});

// Unsolicited responses carrying every record of the service. Announcements are paced by their
// own schedule; the limiter only notes them, so that queries right after are not answered again.
Messages announcement_messages(const ServiceRecord& service, MulticastLimiter* limiter = nullptr,
                               MulticastLimiter::Clock::time_point now = {});

// Once the limiter's owed answer is due: the owed records that the service (as one link knows
// it) still holds, as one multicast answer; nothing is owed after. Before then, nothing.
Messages owed_messages(const ServiceRecord& service, MulticastLimiter& limiter,
                       MulticastLimiter::Clock::time_point now);

// The same records with TTL 0, withdrawing the service.
Messages goodbye_messages(const ServiceRecord& service);

// The records that are ours alone (SRV, TXT and the address records): what a probe claims.
std::vector<dns::Record> unique_records(const ServiceRecord& service);

// TTL 0 for the host's A records of these addresses only: the service lives on elsewhere.
Messages address_goodbye_messages(const ServiceRecord& service, std::span<const Ipv4Address> gone);

}  // namespace brindle
