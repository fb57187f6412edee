// Turns a burst of change reports into one look at the network: due a quiet period after the
// last report, but no later than `longest` after the first, so a link that never stops flapping
// is still followed, and never sooner than a quiet period after the previous look.
#pragma once

#include <chrono>
#include <optional>

namespace brindle {

class Debounce {
 public:
  using Clock = std::chrono::steady_clock;

  Debounce(Clock::duration quiet, Clock::duration longest) : quiet_(quiet), longest_(longest) {}

  void report(Clock::time_point now);

  // When to look, while a report waits.
  std::optional<Clock::time_point> due() const;

  // True once per due look; the reports before `now` are then consumed.
  bool take(Clock::time_point now);

 private:
  Clock::duration quiet_;
  Clock::duration longest_;
  std::optional<Clock::time_point> first_;
  Clock::time_point last_{};
  std::optional<Clock::time_point> previous_look_;
};

// For address changes: one DHCP renewal or roam is one change (a quiet second), and a link that
// keeps flapping is still looked at every 3 s.
Debounce network_change_debounce();

}  // namespace brindle
