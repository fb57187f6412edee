// A session opts out of being turned down for calls before each start, on open and on reopen.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio/render_session.h"

namespace brindle {
namespace {

class FakeSession final : public RenderSessionSteps {
 public:
  explicit FakeSession(std::vector<std::string>& log) : log_(log) {}
  void opt_out_of_ducking() override { log_.push_back("opt-out"); }
  Status start() override {
    log_.push_back("start");
    return {};
  }

 private:
  std::vector<std::string>& log_;
};

struct SessionCase {
  const char* name;
  int sessions;            // a reopen is a new session
  int starts_per_session;  // a resume after a pause starts again
  std::vector<std::string> expected;
};

class RenderSessionTest : public testing::TestWithParam<SessionCase> {};

TEST_P(RenderSessionTest, OptsOutBeforeEveryStart) {
  const SessionCase& c = GetParam();
  std::vector<std::string> log;
  for (int s = 0; s < c.sessions; ++s) {
    FakeSession session(log);
    for (int i = 0; i < c.starts_per_session; ++i) {
      const Status started = start_render_session(session);
      EXPECT_TRUE(started.ok()) << started.error();
    }
  }
  EXPECT_EQ(log, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, RenderSessionTest,
    testing::Values(SessionCase{"open", 1, 1, {"opt-out", "start"}},
                    SessionCase{"reopen", 2, 1, {"opt-out", "start", "opt-out", "start"}},
                    SessionCase{"resume", 1, 2, {"opt-out", "start", "opt-out", "start"}}),
    [](const testing::TestParamInfo<SessionCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brindle
