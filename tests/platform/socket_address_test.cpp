#include "platform/socket_address.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace brindle {
namespace {

SocketAddress v6(std::array<uint16_t, 8> groups, uint16_t port, uint32_t scope_id = 0,
                 uint32_t flowinfo = 0) {
  std::array<uint8_t, 16> ip{};
  for (size_t i = 0; i < groups.size(); ++i) {
    ip[2 * i] = static_cast<uint8_t>(groups[i] >> 8);
    ip[2 * i + 1] = static_cast<uint8_t>(groups[i]);
  }
  return make_v6_address(ip, port, flowinfo, scope_id);
}

SocketAddress v4(std::array<uint8_t, 4> ip, uint16_t port) {
  return make_v4_address(ip, port);
}

struct Formatted {
  std::string name;
  SocketAddress address;
  std::string text;
  friend void PrintTo(const Formatted& c, std::ostream* os) { *os << c.name; }
};

class AddressFormatting : public ::testing::TestWithParam<Formatted> {};

TEST_P(AddressFormatting, MatchesCanonicalText) {
  EXPECT_EQ(format_socket_address(GetParam().address), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Address, AddressFormatting,
    ::testing::Values(
        Formatted{"v4", v4({192, 0, 2, 33}, 5000), "192.0.2.33:5000"},
        Formatted{"v4_zero", v4({0, 0, 0, 0}, 0), "0.0.0.0:0"},
        Formatted{"v4_max", v4({255, 255, 255, 255}, 65535), "255.255.255.255:65535"},
        Formatted{"unspecified", v6({}, 0), "[::]:0"},
        Formatted{"loopback", v6({0, 0, 0, 0, 0, 0, 0, 1}, 45333), "[::1]:45333"},
        Formatted{"trailing_run", v6({1, 0, 0, 0, 0, 0, 0, 0}, 1), "[1::]:1"},
        Formatted{"documentation", v6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}, 80), "[2001:db8::1]:80"},
        Formatted{"lower_case_no_leading_zeros",
                  v6({0x2001, 0xDB8, 0xAA, 0xABCD, 0x0F0F, 0x10, 0x1, 0xFFFF}, 7),
                  "[2001:db8:aa:abcd:f0f:10:1:ffff]:7"},
        Formatted{"single_zero_group_kept", v6({0x2001, 0xdb8, 0, 1, 1, 1, 1, 1}, 2),
                  "[2001:db8:0:1:1:1:1:1]:2"},
        Formatted{"longest_run_wins", v6({0x2001, 0, 0, 1, 0, 0, 0, 1}, 3), "[2001:0:0:1::1]:3"},
        Formatted{"first_run_on_tie", v6({0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}, 4),
                  "[2001:db8::1:0:0:1]:4"},
        Formatted{"leading_single_zero", v6({0, 1, 0, 0, 0, 0, 0, 0}, 5), "[0:1::]:5"},
        Formatted{"v4_mapped", v6({0, 0, 0, 0, 0, 0xffff, 0xc000, 0x0221}, 9),
                  "[::ffff:192.0.2.33]:9"},
        Formatted{"v4_mapped_loopback", v6({0, 0, 0, 0, 0, 0xffff, 0x7f00, 0x0001}, 6000),
                  "[::ffff:127.0.0.1]:6000"},
        Formatted{"not_mapped_fffe", v6({0, 0, 0, 0, 0, 0xfffe, 0xc000, 0x0221}, 9),
                  "[::fffe:c000:221]:9"},
        Formatted{"v4_compatible_is_plain_hex", v6({0, 0, 0, 0, 0, 0, 0xc000, 0x0221}, 9),
                  "[::c000:221]:9"},
        Formatted{"scope", v6({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 5353, 3), "[fe80::1%3]:5353"},
        Formatted{"flowinfo_not_shown", v6({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 1, 0, 77), "[fe80::1]:1"},
        Formatted{"no_zero_groups", v6({1, 2, 3, 4, 5, 6, 7, 8}, 8), "[1:2:3:4:5:6:7:8]:8"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace brindle
