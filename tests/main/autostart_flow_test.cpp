#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "main/autostart.h"
#include "main/autostart_store.h"

namespace brindle {
namespace {

const std::string EXE = R"(C:\Users\Ana\brindle-receiver.exe)";

// Answers every call with one scripted outcome and remembers what it was asked to do.
class FakeStore final : public AutostartStore {
 public:
  explicit FakeStore(Result<ProcessOutput> answer) : answer_(std::move(answer)) {}
  Result<ProcessOutput> add(std::string_view data) override {
    calls.push_back("add " + std::string(data));
    return answer_;
  }
  Result<ProcessOutput> remove() override {
    calls.push_back("remove");
    return answer_;
  }
  std::vector<std::string> calls;

 private:
  Result<ProcessOutput> answer_;
};

struct FlowCase {
  const char* name;
  AutostartMode mode;
  Result<std::string> exe_path;
  Result<ProcessOutput> store_answer;
  AutostartOutcome expected;
  std::vector<std::string> expected_calls;
};

ProcessOutput tool(int exit_code, std::string err, std::string out = "") {
  return ProcessOutput{exit_code, std::move(out), std::move(err)};
}

const std::string DATA = "\"" + EXE + "\" --background --gain 4";
const AutostartOutcome OFF_DONE{0, "autostart off\n", ""};
AutostartOutcome failed(std::string message) {
  return {1, "", "autostart: " + message + "\n"};
}

class AutostartFlow : public ::testing::TestWithParam<FlowCase> {};

TEST_P(AutostartFlow, PrintsAndExitsAsSpecified) {
  const FlowCase& c = GetParam();
  FakeStore store(c.store_answer);
  Options options;
  options.gain = 4.0f;
  options.autostart = c.mode;
  const AutostartOutcome outcome = run_autostart(
      c.mode, options, [&] { return c.exe_path; }, store);
  EXPECT_EQ(outcome.exit_status, c.expected.exit_status);
  EXPECT_EQ(outcome.out, c.expected.out);
  EXPECT_EQ(outcome.err, c.expected.err);
  EXPECT_EQ(store.calls, c.expected_calls);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AutostartFlow,
    ::testing::Values(
        FlowCase{"on_registered",
                 AutostartMode::ON,
                 EXE,
                 tool(0, "", "The operation completed."),
                 {0, "autostart on — will run at login as: " + DATA + "\n", ""},
                 {"add " + DATA}},
        FlowCase{"on_without_own_path",
                 AutostartMode::ON,
                 make_error("gone (os error 2)"),
                 tool(0, ""),
                 failed("cannot resolve own path: gone (os error 2)"),
                 {}},
        FlowCase{"on_tool_not_started",
                 AutostartMode::ON,
                 EXE,
                 make_error("The system cannot find the file specified. (os error 2)"),
                 failed("reg add failed to run: The system cannot find the file specified. "
                        "(os error 2)"),
                 {"add " + DATA}},
        FlowCase{"on_tool_failed_trimmed",
                 AutostartMode::ON,
                 EXE,
                 tool(1, "\r\n ERROR: Access is denied.\r\n\r\n", "ignored"),
                 failed("ERROR: Access is denied."),
                 {"add " + DATA}},
        FlowCase{"on_failure_mentioning_unable_to_find_still_fails",
                 AutostartMode::ON,
                 EXE,
                 tool(1, "ERROR: unable to find the key"),
                 failed("ERROR: unable to find the key"),
                 {"add " + DATA}},
        FlowCase{"on_invalid_bytes_and_unicode_space",
                 AutostartMode::ON,
                 EXE,
                 tool(1, "\xE3\x80\x80 bad \xFF byte\xC2\xA0\n"),
                 failed("bad \xEF\xBF\xBD byte"),
                 {"add " + DATA}},
        FlowCase{"on_empty_error_output",
                 AutostartMode::ON,
                 EXE,
                 tool(5, " \n"),
                 failed("reg add ended with exit status 5"),
                 {"add " + DATA}},
        FlowCase{"off_removed", AutostartMode::OFF, EXE, tool(0, ""), OFF_DONE, {"remove"}},
        FlowCase{"off_never_needs_own_path",
                 AutostartMode::OFF,
                 make_error("gone"),
                 tool(0, ""),
                 OFF_DONE,
                 {"remove"}},
        FlowCase{"off_nothing_to_remove",
                 AutostartMode::OFF,
                 EXE,
                 tool(1,
                      "ERROR: The system was unable to find the specified registry key or "
                      "value.\r\n"),
                 OFF_DONE,
                 {"remove"}},
        FlowCase{"off_unable_to_find_in_capitals",
                 AutostartMode::OFF,
                 EXE,
                 tool(1,
                      "\xFF"
                      "FEHLER: UNABLE TO FIND\n"),
                 OFF_DONE,
                 {"remove"}},
        FlowCase{"off_other_language_fails",
                 AutostartMode::OFF,
                 EXE,
                 tool(1, "  FEHLER: Der angegebene Wert wurde nicht gefunden.\r\n"),
                 failed("FEHLER: Der angegebene Wert wurde nicht gefunden."),
                 {"remove"}},
        FlowCase{"off_unable_to_find_only_on_stdout_fails",
                 AutostartMode::OFF,
                 EXE,
                 tool(1, "ERROR: Access is denied.", "unable to find"),
                 failed("ERROR: Access is denied."),
                 {"remove"}},
        FlowCase{"off_tool_not_started",
                 AutostartMode::OFF,
                 EXE,
                 make_error("no reg (os error 2)"),
                 failed("reg delete failed to run: no reg (os error 2)"),
                 {"remove"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Plays `reg` and the registry reads: answers each call by the registry key and verb it names
// ("query" being the read), and records the calls.
class ScriptedReg {
 public:
  // Keys of `answers`: "query run", "delete run", "add run", "query mark", "delete mark". A read
  // finds the value unless its answer has a non-zero exit status or is an error.
  explicit ScriptedReg(std::map<std::string, Result<ProcessOutput>> answers)
      : answers_(std::move(answers)) {}

  ProcessRunner runner() {
    return [this](const std::string& program, std::span<const std::string> args) {
      EXPECT_EQ(program, "reg");
      const bool mark = args.size() > 1 && args[1] == STARTUP_APPROVED_KEY;
      EXPECT_TRUE(mark || args[1] == RUN_KEY) << args[1];
      const std::string call = args[0] + (mark ? " mark" : " run");
      calls.push_back(call);
      const auto answer = answers_.find(call);
      return answer != answers_.end() ? answer->second : Result<ProcessOutput>(ProcessOutput{});
    };
  }
  ValueProbe probe() {
    return [this](std::string_view key) -> Result<bool> {
      const bool mark = key == STARTUP_APPROVED_KEY;
      EXPECT_TRUE(mark || key == RUN_KEY) << key;
      const std::string call = mark ? "query mark" : "query run";
      calls.push_back(call);
      const auto answer = answers_.find(call);
      if (answer == answers_.end()) return true;
      if (!answer->second) return make_error(answer->second.error());
      return answer->second->exit_code == 0;
    };
  }
  std::vector<std::string> calls;

 private:
  std::map<std::string, Result<ProcessOutput>> answers_;
};

const ProcessOutput ABSENT{1, "", "FEHLER: Der angegebene Wert wurde nicht gefunden.\r\n"};
const ProcessOutput HUNG{-1, "", "", true};
const std::string REFUSED =
    R"(cannot read HKCU\Software\Microsoft\Windows\CurrentVersion\Run: Access is denied. (os error 5))";

struct RegCase {
  const char* name;
  AutostartMode mode;
  std::map<std::string, Result<ProcessOutput>> answers;
  std::vector<std::string> expected_calls;
  AutostartOutcome expected;
};

class RegStoreFlow : public ::testing::TestWithParam<RegCase> {};

TEST_P(RegStoreFlow, AsksBeforeDeletingAndDropsTheDisabledMark) {
  const RegCase& c = GetParam();
  ScriptedReg reg(c.answers);
  RegAutostartStore store(reg.runner(), reg.probe());
  Options options;
  options.gain = 4.0f;
  const AutostartOutcome outcome = run_autostart(
      c.mode, options, [] { return Result<std::string>(EXE); }, store);
  EXPECT_EQ(reg.calls, c.expected_calls);
  EXPECT_EQ(outcome.exit_status, c.expected.exit_status);
  EXPECT_EQ(outcome.out, c.expected.out);
  EXPECT_EQ(outcome.err, c.expected.err);
}

const AutostartOutcome ON_DONE{0, "autostart on — will run at login as: " + DATA + "\n", ""};

INSTANTIATE_TEST_SUITE_P(
    Table, RegStoreFlow,
    ::testing::Values(
        RegCase{"on_without_mark",
                AutostartMode::ON,
                {{"query mark", ABSENT}},
                {"add run", "query mark"},
                ON_DONE},
        RegCase{"on_drops_a_disabled_mark",
                AutostartMode::ON,
                {},
                {"add run", "query mark", "delete mark"},
                ON_DONE},
        RegCase{"on_mark_that_cannot_go_fails",
                AutostartMode::ON,
                {{"delete mark", ProcessOutput{1, "", "ERROR: Access is denied.\r\n"}}},
                {"add run", "query mark", "delete mark"},
                failed("ERROR: Access is denied.")},
        RegCase{"on_hanging_reg_is_reported",
                AutostartMode::ON,
                {{"add run", HUNG}},
                {"add run"},
                failed("reg add did not finish within 10 s and was stopped")},
        RegCase{"off_absent_value_in_any_language",
                AutostartMode::OFF,
                {{"query run", ABSENT}},
                {"query run", "query mark", "delete mark"},  // a leftover mark goes too
                OFF_DONE},
        RegCase{"off_removes_value_and_mark",
                AutostartMode::OFF,
                {},
                {"query run", "delete run", "query mark", "delete mark"},
                OFF_DONE},
        RegCase{"off_failed_delete_of_existing_value",
                AutostartMode::OFF,
                {{"delete run", ProcessOutput{1, "", "FEHLER: Zugriff verweigert.\r\n"}}},
                {"query run", "delete run"},
                failed("FEHLER: Zugriff verweigert.")},
        RegCase{"off_silent_failed_delete",
                AutostartMode::OFF,
                {{"delete run", ProcessOutput{1, "", ""}}},
                {"query run", "delete run"},
                failed("reg delete ended with exit status 1")},
        RegCase{"off_refused_read_is_no_absent_value",
                AutostartMode::OFF,
                {{"query run", make_error(REFUSED)}},
                {"query run"},
                failed(REFUSED)},
        RegCase{"on_refused_read_of_the_mark_is_reported",
                AutostartMode::ON,
                {{"query mark", make_error(REFUSED)}},
                {"add run", "query mark"},
                failed(REFUSED)},
        RegCase{"off_hanging_delete_is_reported",
                AutostartMode::OFF,
                {{"delete run", HUNG}},
                {"query run", "delete run"},
                failed("reg delete did not finish within 10 s and was stopped")},
        RegCase{"off_reg_not_started",
                AutostartMode::OFF,
                {{"delete run", make_error("no reg (os error 2)")}},
                {"query run", "delete run"},
                failed("reg delete failed to run: no reg (os error 2)")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RegAutostartStore, PassesTheExactArgumentLists) {
  std::vector<std::vector<std::string>> calls;
  RegAutostartStore store(
      [&](const std::string&, std::span<const std::string> args) {
        calls.emplace_back(args.begin(), args.end());
        return Result<ProcessOutput>(ProcessOutput{});
      },
      [](std::string_view) -> Result<bool> { return true; });
  const std::string data = R"("C:\b.exe" --background --device "a \"b\"")";
  ASSERT_TRUE(store.add(data));
  ASSERT_TRUE(store.remove());

  const std::string run = R"(HKCU\Software\Microsoft\Windows\CurrentVersion\Run)";
  const std::string mark =
      R"(HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run)";
  using Args = std::vector<std::string>;
  EXPECT_EQ(calls, (std::vector<Args>{
                       {"add", run, "/v", "Brindle", "/t", "REG_SZ", "/d", data, "/f"},
                       {"delete", mark, "/v", "Brindle", "/f"},
                       {"delete", run, "/v", "Brindle", "/f"},
                       {"delete", mark, "/v", "Brindle", "/f"},
                   }));
}

}  // namespace
}  // namespace brindle
