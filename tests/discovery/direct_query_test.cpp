#include "discovery/direct_query.h"

#include <gtest/gtest.h>

namespace brindle {
namespace {

TEST(DirectQuery, OnlyAUnicastDestinationMakesAQueryDirect) {
  struct Case {
    std::optional<Ipv4Address> destination;
    bool direct;
  };
  for (const auto& c :
       {Case{std::nullopt, false}, Case{Ipv4Address{224, 0, 0, 251}, false},
        Case{Ipv4Address{239, 255, 255, 250}, false}, Case{Ipv4Address{255, 255, 255, 255}, false},
        Case{Ipv4Address{198, 51, 100, 1}, true}, Case{Ipv4Address{127, 0, 0, 1}, true}}) {
    EXPECT_EQ(is_direct_query(c.destination), c.direct)
        << (c.destination ? format_ipv4(*c.destination) : "unknown");
  }
}

TEST(DirectQuery, ADirectQueryTurnsTheGroupReplyIntoOneToTheQuerier) {
  const Ipv4Endpoint querier{{198, 51, 100, 7}, MDNS_PORT};
  const Ipv4Endpoint legacy{{198, 51, 100, 7}, 40000};
  struct Case {
    bool multicast;
    bool direct;
    std::optional<Ipv4Endpoint> to;
  };
  for (const auto& c : {Case{true, false, std::nullopt}, Case{true, true, querier},
                        Case{false, false, legacy}, Case{false, true, legacy}}) {
    Reply reply;
    reply.multicast = c.multicast;
    if (!c.multicast) reply.destination = legacy;
    EXPECT_EQ(unicast_destination(reply, querier, c.direct), c.to)
        << c.multicast << " " << c.direct;
  }
}

}  // namespace
}  // namespace brindle
