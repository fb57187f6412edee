#include "audio/pipewire_props.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace brindle {
namespace {

using V = std::optional<std::string_view>;

TEST(PipeWireProps, ChannelPositionsInEveryNotation) {
  const std::vector<std::string> fl_fr{"FL", "FR"};
  EXPECT_EQ(parse_channel_positions("[ FL FR ]"), fl_fr);
  EXPECT_EQ(parse_channel_positions("FL,FR"), fl_fr);
  EXPECT_EQ(parse_channel_positions("[\"FL\", \"FR\"]"), fl_fr);
  EXPECT_TRUE(parse_channel_positions(" [ ] ").empty());
}

TEST(PipeWireProps, ChannelCountFromChannelsThenPositions) {
  EXPECT_EQ(sink_channel_count(V("6"), V("[ FL FR ]")), 6);
  EXPECT_EQ(sink_channel_count(V("six"), V("[ FL FR FC ]")), 3);
  EXPECT_EQ(sink_channel_count(V("0"), std::nullopt), 2);
  EXPECT_EQ(sink_channel_count(V("65"), V("MONO")), 1);
  EXPECT_EQ(sink_channel_count(V("64"), V("MONO")), 64);
  EXPECT_EQ(sink_channel_count(std::nullopt, std::nullopt), 2);
}

struct Metadata {
  const char* json;
  std::optional<std::string> name;
};

class DefaultSink : public ::testing::TestWithParam<Metadata> {};

TEST_P(DefaultSink, NameFromTheMetadataValue) {
  EXPECT_EQ(default_sink_name(GetParam().json), GetParam().name) << GetParam().json;
}

INSTANTIATE_TEST_SUITE_P(
    PipeWireProps, DefaultSink,
    ::testing::Values(Metadata{R"({"name":"alsa_output.pci-0000_00_1f.3.analog-stereo"})",
                               "alsa_output.pci-0000_00_1f.3.analog-stereo"},
                      Metadata{R"( { "level": 3, "name" : "brindle_cable" } )", "brindle_cable"},
                      Metadata{R"({"name":"caf\u00e9 \"x\" \ud83c\udfa4"})",
                               "caf\xC3\xA9 \"x\" \xF0\x9F\x8E\xA4"},
                      Metadata{R"({"name":""})", std::nullopt},
                      Metadata{R"({"nick":"x"})", std::nullopt},
                      Metadata{R"("brindle_cable")", std::nullopt},
                      Metadata{R"({"name":"unterminated)", std::nullopt},
                      Metadata{R"({"name":"bad \u12"})", std::nullopt},
                      Metadata{"", std::nullopt}));

TEST(PipeWireProps, LatencyNeverBelowTenMilliseconds) {
  EXPECT_EQ(node_latency_property(960), "960/48000");
  EXPECT_EQ(node_latency_property(256), "480/48000");
}

}  // namespace
}  // namespace brindle
