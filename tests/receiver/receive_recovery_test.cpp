#include "receiver/receive_recovery.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brindle {
namespace {

using std::chrono::milliseconds;
using Clock = ReceiveRecovery::Clock;

// One step of a scenario: a failure at `at_ms` (with what the loop must then do), or a datagram.
struct Step {
  bool datagram = false;
  long at_ms = 0;
  bool lost = false;
  bool reported = false;
  long pause_ms = 0;
};

Step fail(long at_ms, bool reported, long pause_ms, bool lost = false) {
  return {false, at_ms, lost, reported, pause_ms};
}
Step datagram() {
  return {true};
}

struct Scenario {
  const char* name;
  std::vector<Step> steps;
};

TEST(ReceiveRecovery, EpisodesPausesAndRebinds) {
  const std::vector<Scenario> scenarios = {
      {"an error on every call: one line, pauses double up to 2 s and stay there",
       {fail(0, true, 100), fail(100, false, 200), fail(300, false, 400), fail(700, false, 800),
        fail(1500, false, 1600), fail(3100, false, 2000), fail(5100, false, 2000),
        fail(300000, false, 2000)}},
      {"a datagram restarts the pause but not the episode",
       {fail(0, true, 100), fail(100, false, 200), datagram(), fail(5000, false, 100),
        fail(5100, false, 200)}},
      {"a new episode after 10 s of working reception",
       {fail(0, true, 100), datagram(), fail(9999, false, 100), datagram(),
        fail(20000, true, 100)}},
      {"exactly 10 s is already a new episode",
       {fail(0, true, 100), datagram(), fail(10000, true, 100)}},
      {"without a datagram in between it is the same episode however long it lasts",
       {fail(0, true, 100), fail(60000, false, 200)}},
      {"a lost socket is bound again, every time",
       {fail(0, true, 100, true), fail(100, false, 200, true), datagram(),
        fail(20000, true, 100, false)}},
  };
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    ReceiveRecovery recovery;
    const Clock::time_point start{};
    for (size_t i = 0; i < scenario.steps.size(); ++i) {
      const Step& step = scenario.steps[i];
      SCOPED_TRACE("step " + std::to_string(i));
      if (step.datagram) {
        recovery.on_datagram();
        continue;
      }
      const ReceiveRecovery::Action action = recovery.on_failure(
          {"Network is down (os error 100)", step.lost}, start + milliseconds(step.at_ms));
      EXPECT_EQ(
          action.report.value_or(""),
          step.reported ? "UDP receive error: Network is down (os error 100) — retrying\n" : "");
      EXPECT_EQ(action.pause, milliseconds(step.pause_ms));
      EXPECT_EQ(action.rebind, step.lost);
    }
  }
}

}  // namespace
}  // namespace brindle
