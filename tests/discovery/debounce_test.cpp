#include "discovery/debounce.h"

#include <gtest/gtest.h>

#include <vector>

namespace brindle {
namespace {

using namespace std::chrono_literals;
using Clock = Debounce::Clock;

// Reports at these offsets (ms); the looks that the responder's debounce takes while time runs
// in 10 ms steps to `end`.
std::vector<int> looks(const std::vector<int>& reports, int end) {
  Debounce debounce = network_change_debounce();
  const Clock::time_point start{};
  std::vector<int> taken;
  size_t next = 0;
  for (int t = 0; t <= end; t += 10) {
    while (next < reports.size() && reports[next] <= t) {
      debounce.report(start + std::chrono::milliseconds(reports[next++]));
    }
    if (debounce.take(start + std::chrono::milliseconds(t))) taken.push_back(t);
  }
  return taken;
}

std::vector<int> every(int from, int to, int step) {
  std::vector<int> out;
  for (int t = from; t <= to; t += step) out.push_back(t);
  return out;
}

struct DebounceCase {
  const char* name;
  std::vector<int> reports;
  int end;
  std::vector<int> looks;
};

class DebounceLooks : public testing::TestWithParam<DebounceCase> {};

TEST_P(DebounceLooks, OneLookPerBurstAndNeverMoreThanOnePerQuietPeriod) {
  EXPECT_EQ(looks(GetParam().reports, GetParam().end), GetParam().looks);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DebounceLooks,
    testing::Values(DebounceCase{"nothing_reported", {}, 5000, {}},
                    DebounceCase{"one_report", {100}, 5000, {1100}},
                    // A DHCP renewal: a few reports close together are one look.
                    DebounceCase{"burst", {100, 150, 400, 700}, 5000, {1700}},
                    DebounceCase{"two_bursts", {0, 200, 3000}, 6000, {1200, 4000}},
                    // Flapping ten times a second: looked at every 3 s, not never.
                    DebounceCase{"endless_flapping", every(0, 7000, 100), 7000, {3000, 6100}},
                    // A report right after a look waits a full quiet period.
                    DebounceCase{"report_after_look", {0, 1010}, 4000, {1000, 2010}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Debounce, DueOnlyWhileAReportWaits) {
  Debounce debounce(1000ms, 3000ms);
  const Clock::time_point start{};
  EXPECT_FALSE(debounce.due());
  debounce.report(start);
  EXPECT_EQ(debounce.due(), start + 1000ms);
  EXPECT_FALSE(debounce.take(start + 999ms));
  EXPECT_TRUE(debounce.take(start + 1000ms));
  EXPECT_FALSE(debounce.due());
  EXPECT_FALSE(debounce.take(start + 5000ms));
}

}  // namespace
}  // namespace brindle
