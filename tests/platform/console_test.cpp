#include "platform/console.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brindle::console {
namespace {

TEST(Console, TheLogGetsStandardOutputAndErrorButNoStatusLines) {
  std::vector<std::string> logged;
  set_log([&](std::string_view text) { logged.emplace_back(text); });
  write_out("console test: out\n");
  write_status("console test: status\n");
  write_err("console test: err\n");
  set_log({});
  write_out("console test: after the log\n");
  EXPECT_EQ(logged, (std::vector<std::string>{"console test: out\n", "console test: err\n"}));
}

}  // namespace
}  // namespace brindle::console
