#include "discovery/query_answers.h"

#include "discovery/direct_query.h"
#include "discovery/mdns_replies.h"

namespace brindle {

ServiceRecord service_on_link(const ServiceRecord& service, const LinkView& link) {
  ServiceRecord scoped = service;
  scoped.addresses = link.addresses;
  return scoped;
}

void send_answers(const ServiceRecord& service, const Query& query, const AnswerOutlets& out) {
  // Failed sends are dropped: the querier asks again, and one bad link must not silence others.
  if (out.group != nullptr && !query.direct) {
    // A querier on another link is answered below, with that link's addresses; what is not
    // sent to it here must not count as sent.
    const bool querier_here = out.querier == out.group;
    const ReplyLimits limits{out.group_limiter, querier_here ? out.unicast_limiter : nullptr,
                             query.now, query.shared_delay};
    for (const auto& reply : replies_to_datagram(service_on_link(service, *out.group),
                                                 query.datagram, query.source, limits)) {
      if (reply.multicast) {
        (void)out.group_socket->send_multicast(out.group->iface, reply.bytes);
      } else if (querier_here) {
        (void)out.unicast->send_to(reply.destination, reply.bytes);
      }
    }
    if (querier_here) return;
  }
  const bool itself = query.source.address[0] == 127;
  if (out.querier == nullptr && !itself) return;
  const ServiceRecord scoped = itself ? service : service_on_link(service, *out.querier);
  for (const auto& reply :
       replies_to_datagram(scoped, query.datagram, query.source,
                           ReplyLimits{nullptr, out.unicast_limiter, query.now})) {
    if (const auto to = unicast_destination(reply, query.source, query.direct)) {
      (void)out.unicast->send_to(*to, reply.bytes);
    }
  }
}

}  // namespace brindle
