#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "discovery/machine_label.h"

namespace brindle {
namespace {

// Sets or removes one variable for the test's duration.
class ScopedVariable {
 public:
  ScopedVariable(const wchar_t* name, const std::optional<std::wstring>& value) : name_(name) {
    ::SetEnvironmentVariableW(name_, value ? value->c_str() : nullptr);
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;
  ~ScopedVariable() { ::SetEnvironmentVariableW(name_, nullptr); }

 private:
  const wchar_t* name_;
};

struct SourceCase {
  const char* name;
  std::optional<std::wstring> computer_name;
  std::optional<std::wstring> host_name;
  std::optional<std::string> expected_computer;
  std::optional<std::string> expected_host;
};

class MachineNameSourcesFromEnvironment : public testing::TestWithParam<SourceCase> {};

TEST_P(MachineNameSourcesFromEnvironment, ReadsSetAndValidValuesAsUtf8) {
  const ScopedVariable computer(L"COMPUTERNAME", GetParam().computer_name);
  const ScopedVariable host(L"HOSTNAME", GetParam().host_name);
  const MachineNameSources sources = read_machine_name_sources();
  EXPECT_EQ(sources.computer_name, GetParam().expected_computer);
  EXPECT_EQ(sources.host_name, GetParam().expected_host);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MachineNameSourcesFromEnvironment,
    testing::Values(
        SourceCase{"both_set", L"DESKTOP-AB12", L"studio.example", "DESKTOP-AB12",
                   "studio.example"},
        SourceCase{"neither_set", std::nullopt, std::nullopt, std::nullopt, std::nullopt},
        SourceCase{"empty_counts_as_set", L"", L"studio", "", "studio"},
        SourceCase{"non_ascii", L"B\u00FCro_PC 2", std::nullopt, "B\xC3\xBCro_PC 2", std::nullopt},
        SourceCase{"lone_surrogate_is_not_unicode", std::wstring(L"PC\xD800"), L"studio",
                   std::nullopt, "studio"}),
    [](const testing::TestParamInfo<SourceCase>& info) { return std::string(info.param.name); });

TEST(MachineLabelFromEnvironment, NonAsciiLetterBecomesOneHyphen) {
  const ScopedVariable computer(L"COMPUTERNAME", L"B\u00FCro_PC 2");
  const MachineNameSources sources = read_machine_name_sources();
  EXPECT_EQ(machine_label(sources.computer_name, sources.host_name), "B-ro-PC-2");
}

}  // namespace
}  // namespace brindle
