// What the responder says, as bytes: announcements, goodbyes and the replies to queries for
// its service. Pure functions; the responder thread only moves their output to the sockets.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "discovery/ipv4.h"
#include "discovery/service_record.h"

namespace brindle {

inline constexpr uint16_t MDNS_PORT = 5353;
inline constexpr Ipv4Address MDNS_GROUP{224, 0, 0, 251};
inline constexpr char SERVICES_ENUMERATION_NAME[] = "_services._dns-sd._udp.local.";

// RFC 6762 section 10: records naming the host live 120 s, the others 4500 s.
inline constexpr uint32_t HOST_RECORD_TTL = 120;
inline constexpr uint32_t OTHER_RECORD_TTL = 4500;
// Answers to queries from ordinary resolvers must not outlive this (RFC 6762 section 6.7).
inline constexpr uint32_t LEGACY_TTL_LIMIT = 10;

struct Reply {
  bool multicast = false;    // to the group on every interface
  Ipv4Endpoint destination;  // when not multicast
  std::vector<uint8_t> bytes;
};

// Replies that a datagram received from `source` calls for. Responses, malformed or
// unanswerable queries get none; a query that asks for nothing new (known answers) gets none.
std::vector<Reply> replies_to_datagram(const ServiceRecord& service,
                                       std::span<const uint8_t> datagram,
                                       const Ipv4Endpoint& source);

// An unsolicited response carrying every record of the service.
std::vector<uint8_t> announcement_message(const ServiceRecord& service);

// The same records with TTL 0, withdrawing the service.
std::vector<uint8_t> goodbye_message(const ServiceRecord& service);

// TTL 0 for the host's A records of these addresses only: the service lives on elsewhere.
std::vector<uint8_t> address_goodbye_message(const ServiceRecord& service,
                                             std::span<const Ipv4Address> gone);

}  // namespace brindle
