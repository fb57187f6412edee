#include "discovery/service_record.h"

#include <gtest/gtest.h>

namespace brindle {
namespace {

Result<ServiceRecord> make(const std::string& label, std::string_view addresses = "10.0.0.5") {
  return make_service_record("_brindle._udp.local.", label, label + ".local.", addresses, 45333);
}

TEST(ServiceRecord, NamesFollowTheLabel) {
  const auto record = make("DESKTOP-AB12");
  ASSERT_TRUE(record.ok()) << record.error();
  EXPECT_EQ(record->full_name(), "DESKTOP-AB12._brindle._udp.local.");
  EXPECT_EQ(record->host_name, "DESKTOP-AB12.local.");
  EXPECT_EQ(record->port, 45333);
  EXPECT_TRUE(check_registrable(record.value()).ok());
}

TEST(ServiceRecord, AddressTextIsSplitTrimmedAndCollapsed) {
  const auto record = make("pc", " 192.168.1.20 ,10.0.0.5,\t192.168.1.20");
  ASSERT_TRUE(record.ok()) << record.error();
  const std::vector<Ipv4Address> expected = {{192, 168, 1, 20}, {10, 0, 0, 5}};
  EXPECT_EQ(record->addresses, expected);
}

TEST(ServiceRecord, BadPartsAreRejectedWithAReadableText) {
  const std::vector<std::pair<Result<ServiceRecord>, std::string>> cases = {
      {make("pc", "10.0.0.5,,10.0.0.6"), "invalid IPv4 address \"\""},
      {make("pc", "10.0.0.5,fe80::1"), "invalid IPv4 address \"fe80::1\""},
      {make_service_record("brindle.udp", "pc", "pc.local.", "10.0.0.5", 1),
       "invalid service type \"brindle.udp\""},
      {make_service_record("_brindle._udp.local.", "pc", "pc.lan.", "10.0.0.5", 1),
       "host name \"pc.lan.\" must end in \".local.\""},
      {make_service_record("_brindle._udp.local.", "", "pc.local.", "10.0.0.5", 1),
       "instance name must not be empty"},
  };
  for (const auto& [result, text] : cases) {
    ASSERT_FALSE(result.ok()) << text;
    EXPECT_EQ(result.error(), text);
  }
}

struct LimitCase {
  size_t label_length;
  std::string error;  // empty: registrable
};

class NameLimits : public testing::TestWithParam<LimitCase> {};

TEST_P(NameLimits, RegistrationChecksDnsLimits) {
  const auto record = make(std::string(GetParam().label_length, 'h'));
  ASSERT_TRUE(record.ok());
  const Status checked = check_registrable(record.value());
  if (GetParam().error.empty()) {
    EXPECT_TRUE(checked.ok()) << checked.error();
  } else {
    ASSERT_FALSE(checked.ok());
    EXPECT_EQ(checked.error(), GetParam().error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, NameLimits,
    testing::Values(LimitCase{63, ""}, LimitCase{64, "Hostname label length must be <= 63 bytes"},
                    LimitCase{247, "Hostname label length must be <= 63 bytes"},
                    LimitCase{248, "Hostname length must be <= 255 bytes"},
                    LimitCase{300, "Hostname length must be <= 255 bytes"}));

}  // namespace
}  // namespace brindle
