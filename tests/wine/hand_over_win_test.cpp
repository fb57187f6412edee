// The login start's hand-over with real processes: a copy that cannot start, one that ends
// without answering (the receiver showing its help) and one that never answers (a child stuck
// reading its input) all leave the first process as the receiver.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "main/hand_over_win.h"
#include "platform/process.h"
#include "platform/utf8.h"

namespace brindle {
namespace {

std::wstring beside_this_test(std::string_view name) {
  const Result<std::string> path = executable_path();
  EXPECT_TRUE(path.ok());
  const std::string folder = path.ok() ? path->substr(0, path->find_last_of('\\') + 1) : "";
  const std::u16string units = utf8::to_utf16(folder + std::string(name));
  return std::wstring(units.begin(), units.end());
}

TEST(HandOverGuard, FallsBackWhenTheCopyDoesNotTakeOver) {
  const OwnedHandle guard(::CreateMutexW(nullptr, FALSE, nullptr));
  ASSERT_NE(guard.get(), nullptr);
  const std::wstring child = beside_this_test("wine_echo_child.exe");
  struct Case {
    std::wstring application;
    std::wstring command_line;
    std::chrono::milliseconds limit;
    CopyAnswer expected;
  };
  for (const Case& c : {
           Case{beside_this_test("no-such-receiver.exe"), L"x --background",
                std::chrono::milliseconds(20000), CopyAnswer::NOT_STARTED},
           Case{beside_this_test("..\\..\\brindle-receiver.exe"), L"copy --help",
                std::chrono::milliseconds(20000), CopyAnswer::ENDED},
           Case{child, L"child 0 --hang", std::chrono::milliseconds(1500), CopyAnswer::NO_ANSWER},
       }) {
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(hand_over_guard(c.application, c.command_line, guard.get(), c.limit), c.expected);
    // An ended copy is noticed at once, not at the time limit.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15));
    DWORD flags = 0;
    ASSERT_TRUE(::GetHandleInformation(guard.get(), &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);  // never on to any later child
  }
  EXPECT_EQ(::GetEnvironmentVariableW(L"BRINDLE_INSTANCE_GUARD", nullptr, 0), 0u);
}

TEST(HandOverGuard, ACopyKnowsItIsOneEvenWithUnusableHandles) {
  ::SetEnvironmentVariableW(L"BRINDLE_INSTANCE_GUARD", L"12345678;87654321");
  const HandOverCheck check = check_hand_over();
  EXPECT_TRUE(check.is_copy);
  EXPECT_FALSE(check.handed.has_value());
  EXPECT_EQ(::GetEnvironmentVariableW(L"BRINDLE_INSTANCE_GUARD", nullptr, 0), 0u);
  EXPECT_FALSE(check_hand_over().is_copy);
}

}  // namespace
}  // namespace brindle
