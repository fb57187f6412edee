// Which socket each answer to one query leaves by, and which addresses it carries: a link's
// group hears only that link's addresses, a querier only those of the link it is on.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

#include "discovery/interface_addresses.h"
#include "discovery/ipv4.h"
#include "discovery/mdns_sender.h"
#include "discovery/multicast_limiter.h"
#include "discovery/service_record.h"
#include "discovery/unicast_limiter.h"

namespace brindle {

// The service as it is advertised on one link: with that link's addresses only.
ServiceRecord service_on_link(const ServiceRecord& service, const LinkView& link);

struct Query {
  std::span<const uint8_t> datagram;
  Ipv4Endpoint source;
  bool direct = false;  // sent to our own address, not to the group: answered to the querier alone
  std::chrono::steady_clock::time_point now{};
  std::chrono::steady_clock::duration shared_delay{};  // before a shared answer goes to the group
};

struct AnswerOutlets {
  const LinkView* group = nullptr;  // the link whose group heard the query (multicast_link)
  MdnsSender* group_socket = nullptr;
  MulticastLimiter* group_limiter = nullptr;
  const LinkView* querier = nullptr;  // the link the querier is on (unicast_link)
  MdnsSender* unicast = nullptr;
  UnicastLimiter* unicast_limiter = nullptr;
};

// Answers a query for `service` (which holds every usable address). The group's answer goes out
// on the group's link, and its unicast part to a querier on that same link; any other querier
// is answered alone, from the unicast socket, with its own link's addresses, and the machine
// asking itself over loopback with all of them. A querier on no link gets nothing by unicast.
void send_answers(const ServiceRecord& service, const Query& query, const AnswerOutlets& out);

}  // namespace brindle
