#include "main/tray_presence.h"

#include <gtest/gtest.h>

#include <string>

namespace brindle {
namespace {

// Answers each request with the next letter of `answers` ('y' took it, 'n' refused) and writes
// down what was asked: A(dd), M(odify), R(emove).
class ScriptedArea final : public NotifyArea {
 public:
  explicit ScriptedArea(std::string answers) : answers_(std::move(answers)) {}
  bool request(ShellRequest request) override {
    asked += request == ShellRequest::ADD ? 'A' : request == ShellRequest::MODIFY ? 'M' : 'R';
    const bool took = next_ < answers_.size() && answers_[next_] == 'y';
    ++next_;
    return took;
  }
  std::string asked;

 private:
  std::string answers_;
  size_t next_ = 0;
};

struct PresenceCase {
  const char* name;
  std::string events;   // s: a new look, t: "TaskbarCreated", r: quit
  std::string answers;  // the shell's, one per request
  std::string asked;
  bool shown;
};

class TrayPresenceTable : public ::testing::TestWithParam<PresenceCase> {};

TEST_P(TrayPresenceTable, AsksTheShell) {
  ScriptedArea area(GetParam().answers);
  TrayPresence presence(area);
  for (const char event : GetParam().events) {
    if (event == 's') presence.show();
    if (event == 't') presence.taskbar_created();
    if (event == 'r') presence.remove();
  }
  EXPECT_EQ(area.asked, GetParam().asked);
  EXPECT_EQ(presence.shown(), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TrayPresenceTable,
    ::testing::Values(
        PresenceCase{"AddedOnceThenChanged", "ss", "yy", "AM", true},
        PresenceCase{"TaskbarCreatedThatKeptTheIconModifiesIt", "sts", "ynyy", "AAMM", true},
        PresenceCase{"TaskbarCreatedThatLostTheIconAddsIt", "st", "yy", "AA", true},
        PresenceCase{"IconGoneWithoutNoticeIsAddedAgain", "ss", "yny", "AMA", true},
        PresenceCase{"ShellThatRefusesIsAskedFiveTimes", "sssssss", "", "AMAMAMAMAM", false},
        PresenceCase{"TaskbarCreatedGivesARefusedIconNewTries", "ssssst", "nnnnnnnnnny",
                     "AMAMAMAMAMA", true},
        PresenceCase{"QuitAfterAFailedAddStillRemoves", "sr", "nn", "AMR", false},
        PresenceCase{"QuitRemovesAShownIcon", "sr", "yy", "AR", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brindle
