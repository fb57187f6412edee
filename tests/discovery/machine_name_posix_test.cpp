#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

#include "discovery/machine_label.h"

namespace brindle {
namespace {

// Restores the two variables whatever the test does to them.
class EnvironmentGuard {
 public:
  EnvironmentGuard() {
    for (int i = 0; i < 2; ++i) {
      if (const char* v = std::getenv(NAMES[i])) saved_[i] = v;
    }
  }
  ~EnvironmentGuard() {
    for (int i = 0; i < 2; ++i) {
      if (saved_[i]) {
        ::setenv(NAMES[i], saved_[i]->c_str(), 1);
      } else {
        ::unsetenv(NAMES[i]);
      }
    }
  }

 private:
  static constexpr const char* NAMES[2] = {"COMPUTERNAME", "HOSTNAME"};
  std::optional<std::string> saved_[2];
};

TEST(MachineNameSources, InvalidUtf8CountsAsUnset) {
  const EnvironmentGuard guard;
  ::setenv("COMPUTERNAME", "bad\xff", 1);
  ::setenv("HOSTNAME", "studio.lan", 1);
  const auto sources = read_machine_name_sources();
  EXPECT_FALSE(sources.computer_name.has_value());
  EXPECT_EQ(sources.host_name, "studio.lan");
  EXPECT_EQ(machine_label(sources.computer_name, sources.host_name), "studio");
}

TEST(MachineNameSources, EmptyComputerNameIsStillSet) {
  const EnvironmentGuard guard;
  ::setenv("COMPUTERNAME", "", 1);
  ::setenv("HOSTNAME", "studio", 1);
  const auto sources = read_machine_name_sources();
  EXPECT_EQ(sources.computer_name, "");
  EXPECT_EQ(machine_label(sources.computer_name, sources.host_name), FALLBACK_HOST_NAME);
}

TEST(MachineNameSources, KernelHostNameStandsInForAnUnsetHostname) {
  const EnvironmentGuard guard;
  ::unsetenv("COMPUTERNAME");
  ::unsetenv("HOSTNAME");
  char buffer[HOST_NAME_MAX + 1] = {};
  ASSERT_EQ(::gethostname(buffer, sizeof buffer - 1), 0);
  const auto sources = read_machine_name_sources();
  EXPECT_FALSE(sources.computer_name.has_value());
  EXPECT_EQ(sources.host_name, std::string(buffer));
}

}  // namespace
}  // namespace brindle
