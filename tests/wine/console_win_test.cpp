// The console writer on a redirected stream: the UTF-8 bytes must arrive unchanged, also when a
// character is split across writes and when several threads write at once.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/console.h"

namespace brindle {
namespace {

class RedirectedStdout : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t folder[MAX_PATH] = {};
    ASSERT_NE(::GetTempPathW(MAX_PATH, folder), 0u);
    wchar_t file[MAX_PATH] = {};
    ASSERT_NE(::GetTempFileNameW(folder, L"bcw", 0, file), 0u);
    path_ = file;
    file_ = ::CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file_, INVALID_HANDLE_VALUE);
    saved_ = ::GetStdHandle(STD_OUTPUT_HANDLE);
    ASSERT_TRUE(::SetStdHandle(STD_OUTPUT_HANDLE, file_));
  }

  void TearDown() override {
    ::SetStdHandle(STD_OUTPUT_HANDLE, saved_);
    if (file_ != INVALID_HANDLE_VALUE) ::CloseHandle(file_);
    ::DeleteFileW(path_.c_str());
  }

  std::string written() {
    ::FlushFileBuffers(file_);
    const HANDLE reader =
        ::CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string bytes;
    if (reader == INVALID_HANDLE_VALUE) return bytes;
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(reader, chunk, sizeof chunk, &got, nullptr) && got > 0)
      bytes.append(chunk, got);
    ::CloseHandle(reader);
    return bytes;
  }

  std::wstring path_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  HANDLE saved_ = nullptr;
};

TEST_F(RedirectedStdout, WritesTheUtf8BytesUnchanged) {
  const std::string line = "→ rendering into \"CABLE\" — 2 × 3 • a · b\n";
  console::write_out(line);
  EXPECT_EQ(written(), line);
}

TEST_F(RedirectedStdout, SequenceSplitAcrossWritesArrivesWhole) {
  const std::string arrow = "\xE2\x86\x92";  // →
  console::write_out("a" + arrow.substr(0, 1));
  console::write_out(arrow.substr(1, 1));
  console::write_out(arrow.substr(2) + " b\n");
  EXPECT_EQ(written(), "a" + arrow + " b\n");
}

TEST_F(RedirectedStdout, InvalidBytesPassThroughAsTheyAre) {
  const std::string bytes = "x\xFF\xC0y\xE2\n";
  console::write_out(bytes);
  EXPECT_EQ(written(), bytes);
}

TEST_F(RedirectedStdout, ConcurrentWritesKeepEveryLineWhole) {
  constexpr int THREADS = 4;
  constexpr int LINES = 200;
  std::vector<std::thread> writers;
  for (int t = 0; t < THREADS; ++t) {
    writers.emplace_back([t] {
      for (int i = 0; i < LINES; ++i) {
        console::write_out("thread " + std::to_string(t) + " — line " + std::to_string(i) + "\n");
      }
    });
  }
  for (std::thread& writer : writers) writer.join();

  const std::string text = written();
  std::set<std::string> lines;
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.insert(text.substr(start, end - start));
    start = end + 1;
  }
  EXPECT_EQ(start, text.size());
  ASSERT_EQ(lines.size(), static_cast<size_t>(THREADS * LINES));
  EXPECT_EQ(lines.count("thread 3 — line 199"), 1u);
}

}  // namespace
}  // namespace brindle
