// The log's file work on Windows: where it goes, setting the full file aside, and a folder that
// cannot be made.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "main/receiver_log.h"

namespace brindle {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class ReceiverLogFile : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("brindle-log-" + std::to_string(::GetCurrentProcessId()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    ASSERT_TRUE(::SetEnvironmentVariableW(L"LOCALAPPDATA", root_.wstring().c_str()));
  }
  void TearDown() override {
    ::SetEnvironmentVariableW(L"LOCALAPPDATA", nullptr);
    fs::remove_all(root_);
  }
  fs::path root_;
};

TEST_F(ReceiverLogFile, AppendsStampedLinesAndKeepsOneOlderFileAtTheCap) {
  const auto log = open_receiver_log();
  ASSERT_TRUE(log);
  const fs::path file = root_ / "Brindle" / "receiver.log";
  const std::string line = "\u2192 listening on UDP 45333\n";
  log(line);
  const std::string first = contents(file);
  EXPECT_TRUE(first.ends_with("  " + line)) << first;
  EXPECT_EQ(first.size(), std::string("2026-03-14 09:05:07  ").size() + line.size());

  const std::string long_line(10000, 'x');
  for (int i = 0; i < 110; ++i) log(long_line + "\n");
  const fs::path older = root_ / "Brindle" / "receiver.log.1";
  ASSERT_TRUE(fs::exists(older));
  EXPECT_TRUE(contents(older).starts_with(first));
  EXPECT_LE(fs::file_size(older), LOG_CAP_BYTES);
  EXPECT_GT(fs::file_size(file), 0u);
  EXPECT_LE(fs::file_size(file), LOG_CAP_BYTES);
}

TEST_F(ReceiverLogFile, AFolderThatCannotBeMadeOnlyLosesTheLines) {
  std::ofstream(root_ / "Brindle") << "a file where the folder belongs";
  const auto log = open_receiver_log();
  ASSERT_TRUE(log);
  log("audio stream error: gone\n");
  EXPECT_TRUE(fs::is_regular_file(root_ / "Brindle"));
}

}  // namespace
}  // namespace brindle
