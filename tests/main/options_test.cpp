#include "main/options.h"

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace brindle {
namespace {

Command parse(std::vector<std::string> args) {
  return parse_options(args);
}

Options parsed_options(std::vector<std::string> args) {
  const Command command = parse(std::move(args));
  EXPECT_TRUE(std::holds_alternative<Options>(command));
  return std::holds_alternative<Options>(command) ? std::get<Options>(command) : Options{};
}

std::string usage_message(std::vector<std::string> args) {
  const Command command = parse(std::move(args));
  EXPECT_TRUE(std::holds_alternative<UsageError>(command));
  return std::holds_alternative<UsageError>(command) ? std::get<UsageError>(command).message : "";
}

const std::string GAIN = "--gain needs a number in (0, 64]  (1 = unity, try 4)\n";
const std::string PREFILL = "--prefill-ms needs a number in [0, 1000)\n";

TEST(Options, NoArgumentsKeepsEveryDefault) {
  const Options options = parsed_options({});
  EXPECT_EQ(options.device, "CABLE Input (VB-Audio Virtual Cable)");
  EXPECT_EQ(options.prefill_ms, 40.0);
  EXPECT_EQ(options.gain, 1.0f);
  EXPECT_FALSE(options.no_mdns);
  EXPECT_FALSE(options.background);
  EXPECT_FALSE(options.autostart.has_value());
}

struct GainCase {
  std::string text;
  std::optional<float> expected;  // nothing: rejected
};

class GainValues : public ::testing::TestWithParam<GainCase> {};

TEST_P(GainValues, AcceptedOrRejected) {
  const GainCase& c = GetParam();
  if (c.expected) {
    EXPECT_EQ(parsed_options({"--gain", c.text}).gain, *c.expected);
  } else {
    EXPECT_EQ(usage_message({"--gain", c.text}), GAIN);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, GainValues,
    ::testing::Values(
        GainCase{"64", 64.0f}, GainCase{"4", 4.0f}, GainCase{"+2.5", 2.5f}, GainCase{".5", 0.5f},
        GainCase{"5.", 5.0f}, GainCase{"1E1", 10.0f}, GainCase{"0.999", 0.999f},
        GainCase{"64.0000001", 64.0f},  // rounds to 64
        GainCase{"64.5", std::nullopt}, GainCase{"0", std::nullopt}, GainCase{"-1", std::nullopt},
        GainCase{"-0", std::nullopt}, GainCase{"nan", std::nullopt}, GainCase{"NaN", std::nullopt},
        GainCase{"inf", std::nullopt}, GainCase{"Infinity", std::nullopt},
        GainCase{"4x", std::nullopt}, GainCase{" 4", std::nullopt}, GainCase{"4 ", std::nullopt},
        GainCase{"1,5", std::nullopt}, GainCase{"0x10", std::nullopt},
        GainCase{"1e-50", std::nullopt}, GainCase{"1e40", std::nullopt},
        GainCase{".", std::nullopt}, GainCase{"e5", std::nullopt}, GainCase{"1e", std::nullopt},
        GainCase{"1e+", std::nullopt}, GainCase{"", std::nullopt}, GainCase{"++1", std::nullopt}));

struct PrefillCase {
  std::string text;
  std::optional<double> expected;
};

class PrefillValues : public ::testing::TestWithParam<PrefillCase> {};

TEST_P(PrefillValues, AcceptedOrRejected) {
  const PrefillCase& c = GetParam();
  if (c.expected) {
    const double ms = parsed_options({"--prefill-ms", c.text}).prefill_ms;
    EXPECT_EQ(ms, *c.expected);
    EXPECT_FALSE(std::signbit(ms));
  } else {
    EXPECT_EQ(usage_message({"--prefill-ms", c.text}), PREFILL);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PrefillValues,
    ::testing::Values(PrefillCase{"0", 0.0}, PrefillCase{"-0", 0.0}, PrefillCase{"999.5", 999.5},
                      PrefillCase{"12.5", 12.5}, PrefillCase{"1e-400", 0.0},
                      PrefillCase{"999.99999999999999999", std::nullopt},
                      PrefillCase{"1000", std::nullopt}, PrefillCase{"-1", std::nullopt},
                      PrefillCase{"1e400", std::nullopt}, PrefillCase{"nan", std::nullopt},
                      PrefillCase{"40ms", std::nullopt}));

struct UsageCase {
  std::vector<std::string> args;
  std::string message;
  bool with_help;
};

class UsageErrors : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageErrors, GiveTheirMessage) {
  const Command command = parse(GetParam().args);
  ASSERT_TRUE(std::holds_alternative<UsageError>(command));
  EXPECT_EQ(std::get<UsageError>(command).message, GetParam().message);
  EXPECT_EQ(std::get<UsageError>(command).with_help, GetParam().with_help);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UsageErrors,
    ::testing::Values(UsageCase{{"-d"}, "--device needs a value\n", false},
                      UsageCase{{"--device"}, "--device needs a value\n", false},
                      UsageCase{{"--prefill-ms"}, PREFILL, false}, UsageCase{{"-g"}, GAIN, false},
                      UsageCase{{"--autostart"}, "--autostart needs on|off\n", false},
                      UsageCase{{"--autostart", "ON"}, "--autostart needs on|off\n", false},
                      UsageCase{{"--check-device"}, "--check-device needs a name\n", false},
                      UsageCase{{"--Gain", "4"}, "unknown argument: --Gain\n\n", true},
                      UsageCase{{"--gain=4"}, "unknown argument: --gain=4\n\n", true},
                      UsageCase{{"-dg"}, "unknown argument: -dg\n\n", true},
                      UsageCase{{"foo"}, "unknown argument: foo\n\n", true},
                      UsageCase{{"--"}, "unknown argument: --\n\n", true},
                      UsageCase{{""}, "unknown argument: \n\n", true},
                      UsageCase{{"--device", "--gain", "4"}, "unknown argument: 4\n\n", true},
                      UsageCase{{"--gain", "x", "--help"}, GAIN, false},
                      UsageCase{{"--no-mdns", "--bogus", "--list-devices"},
                                "unknown argument: --bogus\n\n",
                                true}));

TEST(Options, ActionsRunWhenReachedAndIgnoreWhatFollows) {
  EXPECT_TRUE(std::holds_alternative<ShowHelp>(parse({"--help", "--gain", "x"})));
  EXPECT_TRUE(std::holds_alternative<ShowHelp>(parse({"-h"})));
  EXPECT_TRUE(std::holds_alternative<ListDevices>(parse({"--autostart", "on", "--list-devices"})));
  const Command check = parse({"--check-device", "cable", "--bogus"});
  ASSERT_TRUE(std::holds_alternative<CheckDevice>(check));
  EXPECT_EQ(std::get<CheckDevice>(check).name, "cable");
  const Command option_like = parse({"--check-device", "--help"});
  ASSERT_TRUE(std::holds_alternative<CheckDevice>(option_like));
  EXPECT_EQ(std::get<CheckDevice>(option_like).name, "--help");
}

TEST(Options, LastOccurrenceWinsAndFlagsOnlySwitchOn) {
  EXPECT_EQ(parsed_options({"--gain", "4", "--gain", "2"}).gain, 2.0f);
  EXPECT_EQ(parsed_options({"--autostart", "off", "--autostart", "on"}).autostart,
            AutostartMode::ON);
  const Options options = parsed_options({"--no-mdns", "--background", "--no-mdns", "-d", ""});
  EXPECT_TRUE(options.no_mdns);
  EXPECT_TRUE(options.background);
  EXPECT_EQ(options.device, "");
  EXPECT_EQ(parsed_options({"--device", "--gain"}).device, "--gain");
}

TEST(HelpText, HasTwentyThreeLinesWithDescriptionsInColumn25) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < HELP_TEXT.size()) {
    const size_t end = HELP_TEXT.find('\n', start);
    ASSERT_NE(end, std::string_view::npos) << "every line ends in a newline";
    lines.emplace_back(HELP_TEXT.substr(start, end - start));
    start = end + 1;
  }
  ASSERT_EQ(lines.size(), 23u);
  EXPECT_EQ(lines[0], "Brindle receiver — iPhone → Windows wireless mic");
  EXPECT_EQ(
      lines[7],
      "                        Default: \"CABLE Input (VB-Audio Virtual Cable)\" (VB-CABLE, W0).");
  for (const size_t continuation : {7, 8, 9, 11, 13, 16, 19, 20}) {
    EXPECT_EQ(lines[continuation].find_first_not_of(' '), 24u) << lines[continuation];
  }
}

}  // namespace
}  // namespace brindle
