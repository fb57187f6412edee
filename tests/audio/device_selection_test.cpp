#include "audio/device_selection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_audio_host.h"

namespace brindle {
namespace {

using testing::FakeDeviceSpec;
using testing::FakeHost;
using testing::named;

constexpr const char* CABLE = "CABLE Input (VB-Audio Virtual Cable)";

std::string no_match(const std::string& query) {
  return "no output device matching \"" + query +
         "\". Run with --list-devices to see what's available.\n"
         "For W0 install VB-CABLE (https://vb-audio.com/Cable/); for W1 install the Brindle "
         "driver.";
}

FakeDeviceSpec unreadable() {
  return FakeDeviceSpec{};
}

FakeHost typical_host() {
  FakeHost host;
  host.devices = {named("Speakers (Realtek High Definition Audio)"), unreadable(), named(CABLE),
                  named("CABLE-A Input (VB-Audio Cable A)"), named("Kopfhörer STRAßE")};
  host.default_device = named("Speakers (Realtek High Definition Audio)");
  return host;
}

struct FindCase {
  const char* what;
  std::string query;
  std::string expected_name;  // empty: the no-match error
};

class FindOutputDeviceTest : public ::testing::TestWithParam<FindCase> {};

TEST_P(FindOutputDeviceTest, FirstDeviceWhoseFoldedNameContainsTheQuery) {
  FakeHost host = typical_host();
  const Result<FoundDevice> found = find_output_device(host, GetParam().query);
  if (GetParam().expected_name.empty()) {
    ASSERT_FALSE(found.ok());
    EXPECT_EQ(found.error(), no_match(GetParam().query));
  } else {
    ASSERT_TRUE(found.ok()) << found.error();
    EXPECT_EQ(found->name, GetParam().expected_name);
    ASSERT_NE(found->device, nullptr);
    EXPECT_EQ(*found->device->name(), GetParam().expected_name);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Queries, FindOutputDeviceTest,
    ::testing::Values(FindCase{"full_default_query", std::string(DEFAULT_DEVICE_QUERY), CABLE},
                      FindCase{"lower_case_fragment", "cable input", CABLE},
                      FindCase{"first_in_host_order_wins", "cable", CABLE},
                      FindCase{"later_device", "cable-a", "CABLE-A Input (VB-Audio Cable A)"},
                      FindCase{"empty_query_first_readable", "",
                               "Speakers (Realtek High Definition Audio)"},
                      FindCase{"leading_space_default_is_a_fragment", " default", ""},
                      FindCase{"defaults_is_a_fragment", "defaults", ""},
                      FindCase{"sharp_s_upper_case_query", "KOPFHÖRER STRAßE", "Kopfhörer STRAßE"},
                      FindCase{"double_s_is_not_sharp_s", "STRASSE", ""},
                      FindCase{"no_device_has_it", "Brindle", ""}),
    [](const auto& info) { return info.param.what; });

TEST(FindOutputDevice, DefaultInAnyAsciiCaseTakesTheHostDefaultWithoutEnumerating) {
  for (const char* query : {"default", "DEFAULT", "Default", "dEfAuLt"}) {
    FakeHost host = typical_host();
    const Result<FoundDevice> found = find_output_device(host, query);
    ASSERT_TRUE(found.ok()) << query;
    EXPECT_EQ(found->name, "Speakers (Realtek High Definition Audio)");
    EXPECT_EQ(host.enumerations, 0) << query;
  }
}

TEST(FindOutputDevice, DefaultWithUnreadableNameIsCalledDefault) {
  FakeHost host = typical_host();
  host.default_device = unreadable();
  const Result<FoundDevice> found = find_output_device(host, "DEFAULT");
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(found->name, "default");
}

TEST(FindOutputDevice, NoDevicesAtAll) {
  FakeHost host;
  const Result<FoundDevice> named_query = find_output_device(host, "cable");
  ASSERT_FALSE(named_query.ok());
  EXPECT_EQ(named_query.error(), no_match("cable"));
  const Result<FoundDevice> default_query = find_output_device(host, "default");
  ASSERT_FALSE(default_query.ok());
  EXPECT_EQ(default_query.error(), "no default output device");
  EXPECT_EQ(list_output_devices(host), "Output devices (FakeHost):\n");
}

TEST(FindOutputDevice, EnumerationFailureCarriesTheHostText) {
  FakeHost host = typical_host();
  host.enumerate_error = "Connection refused";
  const Result<FoundDevice> found = find_output_device(host, "cable");
  ASSERT_FALSE(found.ok());
  EXPECT_EQ(found.error(), "cannot enumerate output devices: Connection refused");
}

TEST(FindOutputDevice, OnlyUnreadableNamesMeansNoMatchEvenForEmptyQuery) {
  FakeHost host;
  host.devices = {unreadable(), unreadable()};
  const Result<FoundDevice> found = find_output_device(host, "");
  ASSERT_FALSE(found.ok());
  EXPECT_EQ(found.error(), no_match(""));
}

TEST(CheckDevice, TrueExactlyWhenFound) {
  FakeHost host = typical_host();
  EXPECT_TRUE(check_device(host, "default"));
  EXPECT_TRUE(check_device(host, "vb-audio"));
  EXPECT_FALSE(check_device(host, "Brindle"));
  host.enumerate_error = "broken";
  EXPECT_FALSE(check_device(host, "vb-audio"));
  host.default_device.reset();
  EXPECT_FALSE(check_device(host, "default"));
}

TEST(ListOutputDevices, MarksEveryNameEqualToTheDefaultAndShowsUnknown) {
  FakeHost host;
  host.devices = {named("Speakers"), unreadable(), named(CABLE), named("Speakers"),
                  named("Speakers 2")};
  host.default_device = named("Speakers");
  EXPECT_EQ(list_output_devices(host),
            "Output devices (FakeHost):\n"
            "  \u2022 Speakers  (default)\n"
            "  \u2022 <unknown>\n"
            "  \u2022 CABLE Input (VB-Audio Virtual Cable)\n"
            "  \u2022 Speakers  (default)\n"
            "  \u2022 Speakers 2\n");
}

TEST(ListOutputDevices, NoMarkerWithoutReadableDefault) {
  for (const bool has_default : {false, true}) {
    FakeHost host;
    host.devices = {named("Speakers"), unreadable()};
    if (has_default) host.default_device = unreadable();
    EXPECT_EQ(list_output_devices(host),
              "Output devices (FakeHost):\n"
              "  \u2022 Speakers\n"
              "  \u2022 <unknown>\n");
  }
}

TEST(ListOutputDevices, EnumerationFailureEndsTheListing) {
  FakeHost host = typical_host();
  host.enumerate_error = "Connection refused";
  EXPECT_EQ(list_output_devices(host),
            "Output devices (FakeHost):\n"
            "  (could not enumerate: Connection refused)\n");
}

}  // namespace
}  // namespace brindle
