// The POSIX half of child processes; the folder builds every *_test.cpp on every platform, so
// the Windows build leaves this one empty.
#ifndef _WIN32
#include "platform/process.h"

#include <chrono>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

namespace brindle {
namespace {

Result<ProcessOutput> shell(const std::string& script) {
  const std::vector<std::string> args = {"-c", script};
  return run_process("sh", args);
}

TEST(RunProcess, CapturesBothOutputsAndTheExitStatus) {
  const Result<ProcessOutput> ran = shell("printf 'to out'; printf 'to err' >&2; exit 3");
  ASSERT_TRUE(ran) << ran.error();
  EXPECT_EQ(ran->exit_code, 3);
  EXPECT_EQ(ran->out, "to out");
  EXPECT_EQ(ran->err, "to err");
}

TEST(RunProcess, ArgumentsArriveUnchanged) {
  const std::vector<std::string> args = {"-c", "printf '%s|' \"$@\"",    "sh", "two words",
                                         "",   "\"quoted\" \\ $HOME `x`"};
  const Result<ProcessOutput> ran = run_process("sh", args);
  ASSERT_TRUE(ran) << ran.error();
  EXPECT_EQ(ran->out, "two words||\"quoted\" \\ $HOME `x`|");
}

TEST(RunProcess, AChildPastTheTimeLimitIsKilled) {
  const std::vector<std::string> args = {"-c", "echo started; exec sleep 60"};
  const auto begun = std::chrono::steady_clock::now();
  const Result<ProcessOutput> ran = run_process("sh", args, std::chrono::milliseconds(300));
  ASSERT_TRUE(ran) << ran.error();
  EXPECT_TRUE(ran->timed_out);
  EXPECT_EQ(ran->out, "started\n");
  EXPECT_EQ(ran->exit_code, 128 + 9);
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(30));
}

TEST(RunProcess, StandardInputIsEmpty) {
  const Result<ProcessOutput> ran = run_process("cat", {});
  ASSERT_TRUE(ran) << ran.error();
  EXPECT_EQ(ran->exit_code, 0);
  EXPECT_EQ(ran->out, "");
}

// Each stream gets far more than a pipe buffer holds while the other one is also written.
TEST(RunProcess, LargeOutputOnBothStreamsDoesNotStall) {
  const Result<ProcessOutput> ran = shell(
      "i=0; while [ $i -lt 4000 ]; do "
      "echo 'out line of some length ........................................'; "
      "echo 'err line of some length ........................................' >&2; "
      "i=$((i+1)); done");
  ASSERT_TRUE(ran) << ran.error();
  EXPECT_EQ(ran->exit_code, 0);
  std::string out_lines;
  std::string err_lines;
  for (int i = 0; i < 4000; ++i) {
    out_lines += "out line of some length ........................................\n";
    err_lines += "err line of some length ........................................\n";
  }
  EXPECT_EQ(ran->out, out_lines);
  EXPECT_EQ(ran->err, err_lines);
}

TEST(RunProcess, KilledChildReportsTheSignal) {
  const Result<ProcessOutput> ran = shell("kill -9 $$");
  ASSERT_TRUE(ran) << ran.error();
  EXPECT_EQ(ran->exit_code, 128 + 9);
}

TEST(RunProcess, MissingProgramIsAnErrorWithTheSystemText) {
  const Result<ProcessOutput> ran = run_process("brindle-no-such-program", {});
  ASSERT_FALSE(ran);
  EXPECT_EQ(ran.error(), "No such file or directory (os error 2)");
}

TEST(ExecutablePath, IsTheFileThisProcessRuns) {
  const Result<std::string> path = executable_path();
  ASSERT_TRUE(path) << path.error();
  EXPECT_EQ(path->front(), '/');
  struct stat running {};
  struct stat named {};
  ASSERT_EQ(::stat("/proc/self/exe", &running), 0);
  ASSERT_EQ(::stat(path->c_str(), &named), 0) << *path;
  EXPECT_EQ(running.st_dev, named.st_dev);
  EXPECT_EQ(running.st_ino, named.st_ino);
}

}  // namespace
}  // namespace brindle
#endif  // _WIN32
