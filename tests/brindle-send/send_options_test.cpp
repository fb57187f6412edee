#include "send_options.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace brindle::send {
namespace {

TEST(SendOptions, DefaultsSendTheToneToTheLocalReceiver) {
  const auto parsed = parse_send_options({});
  ASSERT_TRUE(parsed) << parsed.error();
  const SendOptions& o = parsed->options;
  EXPECT_FALSE(parsed->show_help);
  EXPECT_EQ(o.host, "127.0.0.1");
  EXPECT_EQ(o.port, 45333);
  EXPECT_EQ(o.samples, 480u);
  EXPECT_EQ(o.freq_hz, 1000.0);
  EXPECT_EQ(o.level, 0.5);
  EXPECT_FALSE(o.duration_s);
  EXPECT_FALSE(o.count);
  EXPECT_EQ(o.burst, 1u);
}

TEST(SendOptions, EveryOptionLandsInItsField) {
  const auto parsed = parse_send_options({"--freq",
                                          "440.5",
                                          "--level",
                                          "0.25",
                                          "--duration",
                                          "1.5",
                                          "--count",
                                          "7",
                                          "--samples",
                                          "1018",
                                          "--seq-start",
                                          "4294967295",
                                          "--drop-every",
                                          "10",
                                          "--duplicate-every",
                                          "3",
                                          "--reorder-every",
                                          "4",
                                          "--burst",
                                          "5",
                                          "::1",
                                          "9000"});
  ASSERT_TRUE(parsed) << parsed.error();
  const SendOptions& o = parsed->options;
  EXPECT_EQ(o.freq_hz, 440.5);
  EXPECT_EQ(o.level, 0.25);
  EXPECT_EQ(o.duration_s, 1.5);
  EXPECT_EQ(o.count, 7u);
  EXPECT_EQ(o.samples, 1018u);
  EXPECT_EQ(o.seq_start, 4294967295u);
  EXPECT_EQ(o.drop_every, 10u);
  EXPECT_EQ(o.duplicate_every, 3u);
  EXPECT_EQ(o.reorder_every, 4u);
  EXPECT_EQ(o.burst, 5u);
  EXPECT_EQ(o.host, "::1");
  EXPECT_EQ(o.port, 9000);
}

TEST(SendOptions, HelpWinsWhereverItStands) {
  const auto parsed = parse_send_options({"--freq", "5", "--help", "--bogus"});
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(parsed->show_help);
}

struct BadCase {
  std::vector<std::string> args;
  std::string message;
};

class SendOptionsErrors : public ::testing::TestWithParam<BadCase> {};

TEST_P(SendOptionsErrors, AreRejectedWithTheirMessage) {
  const auto parsed = parse_send_options(GetParam().args);
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Usage, SendOptionsErrors,
    ::testing::Values(
        BadCase{{"--freq"}, "--freq needs a value"},
        BadCase{{"--freq", "0"}, "--freq needs a frequency in Hz above 0 and below 24000"},
        BadCase{{"--freq", "24000"}, "--freq needs a frequency in Hz above 0 and below 24000"},
        BadCase{{"--freq", "nan"}, "--freq needs a frequency in Hz above 0 and below 24000"},
        BadCase{{"--freq", "1k"}, "--freq needs a frequency in Hz above 0 and below 24000"},
        BadCase{{"--level", "1.01"}, "--level needs a linear amplitude from 0 to 1"},
        BadCase{{"--level", "-0.5"}, "--level needs a linear amplitude from 0 to 1"},
        BadCase{{"--duration", "0"},
                "--duration needs a number of seconds above 0 (at most 86400)"},
        BadCase{{"--samples", "0"}, "--samples needs a whole number from 1 to 1018"},
        BadCase{{"--samples", "1019"}, "--samples needs a whole number from 1 to 1018"},
        BadCase{{"--seq-start", "4294967296"},
                "--seq-start needs a whole number from 0 to 4294967295"},
        BadCase{{"--seq-start", "-1"}, "--seq-start needs a whole number from 0 to 4294967295"},
        BadCase{{"--count", "0"}, "--count needs a whole number of at least 1"},
        BadCase{{"--burst", "0"}, "--burst needs a whole number of at least 1"},
        BadCase{{"--drop-every", "2.5"}, "--drop-every needs a whole number of at least 0"},
        BadCase{{"--gain", "2"}, "unknown option: --gain"},
        BadCase{{"host", "1", "extra"}, "unexpected argument: extra"},
        BadCase{{"host", "0"}, "PORT must be a number from 1 to 65535, not 0"},
        BadCase{{"host", "65536"}, "PORT must be a number from 1 to 65535, not 65536"},
        BadCase{{""}, "HOST must not be empty"},
        BadCase{{"--wav", "a.wav", "--level", "0.1"},
                "--wav cannot be combined with --freq or --level"}));

TEST(SendOptions, WavPathMayLookLikeAnOption) {
  const auto parsed = parse_send_options({"--wav", "--freq"});
  ASSERT_TRUE(parsed) << parsed.error();
  EXPECT_EQ(parsed->options.wav_path, "--freq");
}

}  // namespace
}  // namespace brindle::send
