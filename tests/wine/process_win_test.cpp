#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/process.h"

namespace brindle {
namespace {

std::string own_folder() {
  const Result<std::string> path = executable_path();
  EXPECT_TRUE(path.ok());
  return path.ok() ? path->substr(0, path->find_last_of('\\')) : std::string();
}

std::string echo_child() {
  return own_folder() + "\\wine_echo_child.exe";
}

TEST(ExecutablePath, IsTheFullPathOfThisProgram) {
  const Result<std::string> path = executable_path();
  ASSERT_TRUE(path.ok()) << path.error();
  EXPECT_EQ(path->find(":\\"), 1u) << *path;
  EXPECT_TRUE(path->ends_with("\\windows_platform_tests.exe")) << *path;
}

struct ArgumentCase {
  const char* name;
  std::string arg;
};

class ChildArguments : public testing::TestWithParam<ArgumentCase> {};

// Each item reaches the child exactly, however it must be quoted on the command line.
TEST_P(ChildArguments, ArriveIntact) {
  const std::vector<std::string> args = {"0", GetParam().arg, "after"};
  const Result<ProcessOutput> run = run_process(echo_child(), args);
  ASSERT_TRUE(run.ok()) << run.error();
  EXPECT_EQ(run->exit_code, 0);
  EXPECT_EQ(run->out, "0\n" + GetParam().arg + "\nafter\n");
}

INSTANTIATE_TEST_SUITE_P(
    Quoting, ChildArguments,
    testing::Values(
        ArgumentCase{"plain", "add"}, ArgumentCase{"empty", ""},
        ArgumentCase{"spaces", "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"},
        ArgumentCase{"run_data", R"("C:\Program Files\Brindle\brindle-receiver.exe" --background)"},
        ArgumentCase{"device_with_quotes", R"(--device "My "odd" device")"},
        ArgumentCase{"trailing_backslash", "C:\\some folder\\"},
        ArgumentCase{"backslashes_before_quote", "a\\\\\"b"}, ArgumentCase{"tab", "a\tb"},
        ArgumentCase{"non_ascii", "Grüße → ΣΑΣ 🎤"}),
    [](const testing::TestParamInfo<ArgumentCase>& info) { return std::string(info.param.name); });

TEST(RunProcess, ReportsExitStatusAndKeepsTheOutputsApart) {
  const std::vector<std::string> args = {"7"};
  const Result<ProcessOutput> run = run_process(echo_child(), args);
  ASSERT_TRUE(run.ok()) << run.error();
  EXPECT_EQ(run->exit_code, 7);
  EXPECT_EQ(run->out, "7\n");
  EXPECT_EQ(run->err, "stdin 0\n");  // standard input is empty, not inherited
}

TEST(RunProcess, LargeOutputOnBothStreamsDoesNotStall) {
  const std::vector<std::string> args = {"0", "--big"};
  const Result<ProcessOutput> run = run_process(echo_child(), args);
  ASSERT_TRUE(run.ok()) << run.error();
  EXPECT_EQ(run->out, std::string(1 << 20, 'o'));
  EXPECT_EQ(run->err, std::string(1 << 20, 'e'));
}

// A bare name is the system's tool: one beside the program (or on PATH) is never run.
TEST(RunProcess, BareNameIsOnlyLookedUpInTheSystemFolder) {
  const std::vector<std::string> args = {"3"};
  const Result<ProcessOutput> beside = run_process("wine_echo_child", args);
  ASSERT_FALSE(beside.ok());
  EXPECT_TRUE(beside.error().ends_with(" (os error 2)")) << beside.error();
  const std::vector<std::string> help = {"/?"};
  EXPECT_TRUE(run_process("reg", help).ok());  // system32\reg.exe
}

TEST(RunProcess, AChildPastTheTimeLimitIsKilled) {
  const std::vector<std::string> args = {"0", "--hang"};
  const auto started = std::chrono::steady_clock::now();
  const Result<ProcessOutput> run =
      run_process(echo_child(), args, std::chrono::milliseconds(1500));
  ASSERT_TRUE(run.ok()) << run.error();
  EXPECT_TRUE(run->timed_out);
  EXPECT_EQ(run->out, "hanging\n");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
}

TEST(RunProcess, MissingProgramIsAnErrorWithTheSystemText) {
  const Result<ProcessOutput> run = run_process("brindle-no-such-tool", {});
  ASSERT_FALSE(run.ok());
  EXPECT_TRUE(run.error().ends_with(" (os error 2)")) << run.error();
}

}  // namespace
}  // namespace brindle
