#include "discovery/interface_addresses.h"

#include <gtest/gtest.h>

namespace brindle {
namespace {

InterfaceAddress v4(const char* adapter, uint32_t index, Ipv4Address address) {
  return InterfaceAddress{adapter, index, true, address};
}
InterfaceAddress v6(const char* adapter, uint32_t index) {
  return InterfaceAddress{adapter, index, false, {}};
}

struct FilterCase {
  Ipv4Address address;
  bool usable;
};

class LanFilter : public testing::TestWithParam<FilterCase> {};

TEST_P(LanFilter, ExcludesLoopbackLinkLocalAndSharedSpaceOnly) {
  EXPECT_EQ(is_lan_ipv4(GetParam().address), GetParam().usable) << format_ipv4(GetParam().address);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, LanFilter,
    testing::Values(FilterCase{{127, 0, 0, 1}, false}, FilterCase{{127, 255, 255, 254}, false},
                    FilterCase{{126, 255, 255, 255}, true}, FilterCase{{128, 0, 0, 1}, true},
                    FilterCase{{169, 254, 0, 1}, false}, FilterCase{{169, 254, 255, 255}, false},
                    FilterCase{{169, 253, 1, 1}, true}, FilterCase{{169, 255, 1, 1}, true},
                    FilterCase{{100, 64, 0, 0}, false}, FilterCase{{100, 127, 255, 255}, false},
                    FilterCase{{100, 63, 255, 255}, true}, FilterCase{{100, 128, 0, 1}, true},
                    FilterCase{{192, 168, 1, 20}, true}, FilterCase{{8, 8, 8, 8}, true}));

TEST(InterfaceAddresses, KeepsEveryUsableIpv4AddressInOrder) {
  const std::vector<InterfaceAddress> entries = {v4("lo", 1, {127, 0, 0, 1}),
                                                 v6("eth0", 2),
                                                 v4("eth0", 2, {192, 168, 1, 20}),
                                                 v4("eth0", 2, {169, 254, 3, 3}),
                                                 v4("wlan0", 3, {10, 0, 0, 5}),
                                                 v4("tailscale0", 4, {100, 100, 1, 1}),
                                                 v6("v6only", 5),
                                                 v4("eth0", 2, {192, 168, 1, 20})};
  const std::vector<Ipv4Address> expected = {{192, 168, 1, 20}, {10, 0, 0, 5}, {192, 168, 1, 20}};
  EXPECT_EQ(filter_lan_ipv4(entries), expected);
  EXPECT_EQ(join_addresses(filter_lan_ipv4(entries)), "192.168.1.20,10.0.0.5,192.168.1.20");
  EXPECT_TRUE(filter_lan_ipv4(std::vector<InterfaceAddress>{v4("lo", 1, {127, 0, 0, 1})}).empty());
}

TEST(InterfaceAddresses, MulticastUsesOneAddressPerAdapter) {
  const std::vector<InterfaceAddress> entries = {
      v4("eth0", 2, {169, 254, 3, 3}),    v4("eth0", 2, {192, 168, 1, 20}),
      v4("eth0:1", 2, {192, 168, 1, 21}), v4("wlan0", 3, {10, 0, 0, 5}),
      v4("tun0", 0, {10, 8, 0, 1}),       v4("tun0", 0, {10, 8, 0, 2}),
      v4("lo", 1, {127, 0, 0, 1})};
  const std::vector<Ipv4Address> expected = {{192, 168, 1, 20}, {10, 0, 0, 5}, {10, 8, 0, 1}};
  EXPECT_EQ(multicast_interface_addresses(entries), expected);
}

struct ParseCase {
  const char* text;
  std::optional<Ipv4Address> address;
};

class Ipv4Parse : public testing::TestWithParam<ParseCase> {};

TEST_P(Ipv4Parse, AcceptsOnlyStrictDottedQuads) {
  EXPECT_EQ(parse_ipv4(GetParam().text), GetParam().address) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Ipv4Parse,
    testing::Values(ParseCase{"192.168.1.20", Ipv4Address{192, 168, 1, 20}},
                    ParseCase{"0.0.0.0", Ipv4Address{0, 0, 0, 0}},
                    ParseCase{"255.255.255.255", Ipv4Address{255, 255, 255, 255}},
                    ParseCase{"256.1.1.1", std::nullopt}, ParseCase{"1.2.3", std::nullopt},
                    ParseCase{"1.2.3.4.5", std::nullopt}, ParseCase{"01.2.3.4", std::nullopt},
                    ParseCase{"1.2.3.4 ", std::nullopt}, ParseCase{"1..3.4", std::nullopt},
                    ParseCase{"", std::nullopt}, ParseCase{"1.2.3.1000", std::nullopt}));

}  // namespace
}  // namespace brindle
