#include "discovery/machine_label.h"

#include <gtest/gtest.h>

namespace brindle {
namespace {

struct LabelCase {
  const char* what;
  std::optional<std::string> computer_name;
  std::optional<std::string> host_name;
  std::string label;
};

class MachineLabel : public testing::TestWithParam<LabelCase> {};

TEST_P(MachineLabel, FollowsTheNamingRules) {
  const auto& c = GetParam();
  EXPECT_EQ(machine_label(c.computer_name, c.host_name), c.label) << c.what;
}

const std::string LONG_NAME(300, 'h');

INSTANTIATE_TEST_SUITE_P(
    Names, MachineLabel,
    testing::Values(
        LabelCase{"computer name wins", "DESKTOP-AB12", "ignored", "DESKTOP-AB12"},
        LabelCase{"host name when no computer name", std::nullopt, "studio.example.org", "studio"},
        LabelCase{"empty computer name is used as it is", "", "studio", "Brindle-PC"},
        LabelCase{"neither set", std::nullopt, std::nullopt, "Brindle-PC"},
        LabelCase{"leading dot leaves nothing", ".hidden", std::nullopt, "Brindle-PC"},
        LabelCase{"one hyphen per character, not per byte", "B\xC3\xBCro_PC 2", std::nullopt,
                  "B-ro-PC-2"},
        LabelCase{"four-byte character", "a\xF0\x9F\x8E\xA4z", std::nullopt, "a-z"},
        LabelCase{"hyphens kept, never merged or trimmed", "--PC--", std::nullopt, "--PC--"},
        LabelCase{"case kept", "MiXeD", std::nullopt, "MiXeD"},
        LabelCase{"length not cut", std::nullopt, LONG_NAME, LONG_NAME},
        LabelCase{"only the part before the first dot", "a.b.c", std::nullopt, "a"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

}  // namespace
}  // namespace brindle
