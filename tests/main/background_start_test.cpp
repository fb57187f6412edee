#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "main/background_start.h"
#include "main/startup_failure.h"

namespace brindle {
namespace {

struct BackgroundCase {
  unsigned console_processes;
  bool continued;
  BackgroundStart expected;
};

class Background : public ::testing::TestWithParam<BackgroundCase> {};

TEST_P(Background, OnlyALoneConsoleMovesToAWindowlessCopy) {
  EXPECT_EQ(background_start(GetParam().console_processes, GetParam().continued),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Background,
    ::testing::Values(BackgroundCase{0, false, BackgroundStart::STAY},  // started detached
                      BackgroundCase{1, false, BackgroundStart::CONTINUE_WITHOUT_CONSOLE},
                      BackgroundCase{2, false, BackgroundStart::HIDE_CONSOLE},  // from a prompt
                      BackgroundCase{5, false, BackgroundStart::HIDE_CONSOLE},
                      BackgroundCase{1, true, BackgroundStart::STAY},  // never a copy of a copy
                      BackgroundCase{2, true, BackgroundStart::STAY}));

TEST(HandOver, OnlyACopyThatHoldsTheGuardEndsTheLoginStart) {
  EXPECT_EQ(after_hand_over(CopyAnswer::HOLDS_GUARD), AfterHandOver::END_HERE);
  EXPECT_EQ(after_hand_over(CopyAnswer::NOT_STARTED), AfterHandOver::GO_ON);
  EXPECT_EQ(after_hand_over(CopyAnswer::ENDED), AfterHandOver::GO_ON);
  EXPECT_EQ(after_hand_over(CopyAnswer::NO_ANSWER), AfterHandOver::STOP_COPY_AND_GO_ON);
}

TEST(StartupFailure, HiddenConsoleAlsoGetsTheWarningDialog) {
  for (const bool background : {false, true}) {
    std::string written;
    std::vector<std::string> shown;
    const int status =
        report_startup_failure("\naudio: no output endpoint matches \"x\"\n", background,
                               {[&](std::string_view t) { written += t; },
                                [&](std::string_view t) { shown.emplace_back(t); }});
    EXPECT_EQ(status, 1);
    EXPECT_EQ(written, "\naudio: no output endpoint matches \"x\"\n");
    EXPECT_EQ(shown, background
                         ? std::vector<std::string>{"audio: no output endpoint matches \"x\""}
                         : std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace brindle
