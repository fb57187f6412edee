#include "discovery/network_view.h"

#include <gtest/gtest.h>

namespace brindle {
namespace {

InterfaceAddress v4(const char* adapter, uint32_t index, Ipv4Address address, uint8_t prefix = 24) {
  return InterfaceAddress{adapter, index, true, address, prefix};
}

using Entries = std::vector<InterfaceAddress>;
using Addresses = std::vector<Ipv4Address>;

struct ChangeCase {
  const char* name;
  Entries before;
  Entries after;
  bool usable_changed;
};

class NetworkChanges : public testing::TestWithParam<ChangeCase> {};

TEST_P(NetworkChanges, NoticesOnlyWhatChanged) {
  const auto& c = GetParam();
  const NetworkChange change = compare_views(network_view(c.before), network_view(c.after));
  EXPECT_EQ(change.usable_changed, c.usable_changed);
}

const InterfaceAddress ETH_20 = v4("eth0", 2, {192, 168, 1, 20});
const InterfaceAddress ETH_21 = v4("eth0", 2, {192, 168, 1, 21});
const InterfaceAddress WLAN = v4("wlan0", 3, {10, 0, 0, 5});
const InterfaceAddress LINK_LOCAL = v4("eth0", 2, {169, 254, 3, 3}, 16);
const InterfaceAddress LOOPBACK = v4("lo", 1, {127, 0, 0, 1}, 8);

INSTANTIATE_TEST_SUITE_P(
    Cases, NetworkChanges,
    testing::Values(ChangeCase{"nothing", {LOOPBACK, ETH_20}, {ETH_20, LOOPBACK}, false},
                    ChangeCase{"first_address", {LOOPBACK}, {LOOPBACK, ETH_20}, true},
                    ChangeCase{"address_replaced", {ETH_20}, {ETH_21}, true},
                    ChangeCase{"second_adapter", {ETH_20}, {ETH_20, WLAN}, true},
                    ChangeCase{"adapter_gone", {ETH_20, WLAN}, {ETH_20}, true},
                    ChangeCase{"last_address_gone", {ETH_20, LINK_LOCAL}, {LINK_LOCAL}, true},
                    ChangeCase{"only_unusable_ones_change", {ETH_20}, {ETH_20, LINK_LOCAL}, false},
                    ChangeCase{"unknown_index",
                               {v4("tun0", 0, {10, 8, 0, 1})},
                               {v4("tun0", 0, {10, 8, 0, 2})},
                               true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NetworkView, AdvertisesEachUsableAddressOnceAndAnswersEveryLinkOfItsAdapters) {
  const NetworkView view =
      network_view(Entries{LOOPBACK, ETH_20, LINK_LOCAL, v4("eth0:1", 2, {192, 168, 1, 20}), WLAN,
                           v4("tailscale0", 9, {100, 100, 1, 1}, 24)});
  EXPECT_EQ(view.usable, (Addresses{{192, 168, 1, 20}, {10, 0, 0, 5}}));
  struct OnLinkCase {
    Ipv4Address source;
    bool answered;
  };
  for (const auto& c : {OnLinkCase{{192, 168, 1, 77}, true}, OnLinkCase{{10, 0, 0, 200}, true},
                        OnLinkCase{{169, 254, 200, 1}, true},  // link-local beside a LAN address
                        OnLinkCase{{127, 0, 0, 1}, true},      // this machine itself
                        OnLinkCase{{192, 168, 2, 1}, false}, OnLinkCase{{203, 0, 113, 9}, false},
                        // The link of an adapter without a usable address is not joined.
                        OnLinkCase{{100, 100, 1, 9}, false}}) {
    EXPECT_EQ(is_on_link(c.source, view.subnets), c.answered) << format_ipv4(c.source);
  }
  EXPECT_FALSE(is_on_link({192, 168, 1, 20}, network_view(Entries{LOOPBACK}).subnets));
  EXPECT_TRUE(is_on_link({8, 8, 8, 8}, std::vector<Ipv4Subnet>{{{1, 2, 3, 4}, 0}}));
}

}  // namespace
}  // namespace brindle

namespace brindle {
namespace {

// Two adapters and one that no querier can reach: each link carries its own addresses only.
TEST(NetworkView, EachLinkHoldsItsOwnAddresses) {
  const NetworkView view = network_view(
      Entries{LOOPBACK, ETH_20, LINK_LOCAL, ETH_21, WLAN, v4("vEthernet", 7, {172, 20, 0, 1}, 20)});
  ASSERT_EQ(view.links.size(), 3u);
  EXPECT_EQ(view.links[0].iface, (MulticastInterface{2, {192, 168, 1, 20}}));
  EXPECT_EQ(view.links[0].addresses, (Addresses{{192, 168, 1, 20}, {192, 168, 1, 21}}));
  EXPECT_EQ(view.links[0].subnets.size(), 3u);  // the link-local one included
  EXPECT_EQ(view.links[1].addresses, (Addresses{{10, 0, 0, 5}}));
  EXPECT_EQ(view.links[2].addresses, (Addresses{{172, 20, 0, 1}}));
  EXPECT_TRUE(compare_views(network_view(Entries{ETH_20, WLAN}),
                            network_view(Entries{v4("eth0", 2, {10, 0, 0, 5}),
                                                 v4("wlan0", 3, {192, 168, 1, 20})}))
                  .links_changed);
}

struct LinkChoiceCase {
  const char* name;
  uint32_t arrival_index;
  Ipv4Address source;
  int multicast_on;  // position in the links, -1 for none
  int unicast_on;
};

class LinkChoice : public testing::TestWithParam<LinkChoiceCase> {};

TEST_P(LinkChoice, RepliesGoWhereTheQuerierIs) {
  const auto& c = GetParam();
  const NetworkView view = network_view(Entries{LOOPBACK, ETH_20, WLAN});
  auto position = [&](const LinkView* link) {
    return link == nullptr ? -1 : static_cast<int>(link - view.links.data());
  };
  EXPECT_EQ(position(multicast_link(view.links, c.arrival_index, c.source)), c.multicast_on);
  EXPECT_EQ(position(unicast_link(view.links, c.arrival_index, c.source)), c.unicast_on);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkChoice,
    testing::Values(LinkChoiceCase{"arrived_on_its_link", 3, {10, 0, 0, 77}, 1, 1},
                    LinkChoiceCase{"index_unknown_subnet_decides", 0, {10, 0, 0, 77}, 1, 1},
                    // The reply goes out where the query came in; unicast follows the subnet.
                    LinkChoiceCase{"arrived_elsewhere", 2, {10, 0, 0, 77}, 0, 1},
                    // The interface went away between the query and its answer.
                    LinkChoiceCase{"arrival_link_gone", 42, {10, 0, 0, 77}, -1, 1},
                    LinkChoiceCase{"querier_on_no_subnet", 0, {203, 0, 113, 9}, -1, -1},
                    LinkChoiceCase{"loopback_is_no_link", 1, {127, 0, 0, 1}, -1, -1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brindle
