#include "discovery/query_answers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "discovery/dns_message.h"
#include "discovery/mdns_replies.h"
#include "discovery/network_view.h"

namespace brindle {
namespace {

// Writes down where each datagram went and which addresses it carried.
class RecordingSocket final : public MdnsSender {
 public:
  RecordingSocket(const char* name, std::vector<std::string>& log) : name_(name), log_(log) {}
  Status send_multicast(const MulticastInterface& iface, std::span<const uint8_t> bytes) override {
    note("group on " + std::to_string(iface.index), bytes);
    return {};
  }
  Status send_to(const Ipv4Endpoint& to, std::span<const uint8_t> bytes) override {
    note("to " + format_ipv4(to.address) + ":" + std::to_string(to.port), bytes);
    return {};
  }

 private:
  void note(std::string where, std::span<const uint8_t> bytes) {
    std::vector<std::string> addresses;
    const auto message = dns::decode_message(bytes);
    if (!message) {
      ADD_FAILURE() << where << ": " << message.error();
      return;
    }
    for (const auto* section : {&message.value().answers, &message.value().additionals}) {
      for (const auto& record : *section) {
        if (const auto* a = std::get_if<Ipv4Address>(&record.data)) {
          addresses.push_back(format_ipv4(*a));
        }
      }
    }
    std::sort(addresses.begin(), addresses.end());
    std::string line = std::string(name_) + " " + where + ":";
    for (const auto& a : addresses) line += " " + a;
    log_.push_back(line);
  }
  const char* name_;
  std::vector<std::string>& log_;
};

struct RouteCase {
  const char* name;
  uint32_t arrival_index;
  Ipv4Endpoint source;
  bool direct;
  std::vector<std::string> sent;
};

TEST(QueryAnswers, EachLinkAndQuerierHearsOnlyItsOwnAddresses) {
  const std::vector<InterfaceAddress> entries{{"lo", 1, true, {127, 0, 0, 1}, 8},
                                              {"eth0", 2, true, {198, 51, 100, 1}, 24},
                                              {"wlan0", 3, true, {192, 0, 2, 1}, 24}};
  const NetworkView view = network_view(entries);
  ASSERT_EQ(view.links.size(), 2u);
  const ServiceRecord service =
      make_service_record("_brindle._udp.local.", "DESKTOP-AB12", "DESKTOP-AB12.local.",
                          "198.51.100.1,192.0.2.1", 45333)
          .value();
  dns::Message ptr;
  ptr.questions.push_back(
      {dns::name_from_text("_brindle._udp.local."), dns::TYPE_PTR, dns::CLASS_IN, false});
  const auto datagram = dns::encode_message(ptr).value();

  for (const auto& c : {
           RouteCase{"group of the second link",
                     3,
                     {{192, 0, 2, 7}, MDNS_PORT},
                     false,
                     {"wlan0 group on 3: 192.0.2.1"}},
           RouteCase{"legacy querier on the arrival link",
                     2,
                     {{198, 51, 100, 7}, 40000},
                     false,
                     {"unicast to 198.51.100.7:40000: 198.51.100.1"}},
           RouteCase{"heard on one link, querier on the other",
                     2,
                     {{192, 0, 2, 7}, 40000},
                     false,
                     {"unicast to 192.0.2.7:40000: 192.0.2.1"}},
           RouteCase{"direct query",
                     2,
                     {{198, 51, 100, 7}, MDNS_PORT},
                     true,
                     {"unicast to 198.51.100.7:5353: 198.51.100.1"}},
           RouteCase{"the machine itself",
                     1,
                     {{127, 0, 0, 1}, 40000},
                     false,
                     {"unicast to 127.0.0.1:40000: 192.0.2.1 198.51.100.1"}},
           RouteCase{"querier on no link", 0, {{203, 0, 113, 5}, 40000}, false, {}},
       }) {
    std::vector<std::string> sent;
    RecordingSocket eth("eth0", sent), wlan("wlan0", sent), unicast("unicast", sent);
    MulticastLimiter eth_limiter, wlan_limiter;
    UnicastLimiter unicast_limiter;
    const LinkView* group = multicast_link(view.links, c.arrival_index, c.source.address);
    const bool first = group == &view.links[0];
    send_answers(service, Query{datagram, c.source, c.direct},
                 AnswerOutlets{group, first ? &eth : &wlan, first ? &eth_limiter : &wlan_limiter,
                               unicast_link(view.links, c.arrival_index, c.source.address),
                               &unicast, &unicast_limiter});
    EXPECT_EQ(sent, c.sent) << c.name;
  }
}

}  // namespace
}  // namespace brindle
