// Claiming the service's names on the link before using them (RFC 6762 sections 8 and 9): three
// probes 250 ms apart, then the names are ours; another host's answer for them moves us to the
// next free name ("label-2", "label-3", ...) and we probe again. Portable: no sockets, no clock
// of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "discovery/dns_message.h"

namespace brindle {

// The label with the number of this attempt: the label itself first, then "label-2", ...;
// shortened so that the result stays one DNS label.
std::string numbered_label(const std::string& label, unsigned number);

class NameClaim {
 public:
  using Clock = std::chrono::steady_clock;

  enum class Step {
    WAIT,   // nothing to do now
    PROBE,  // send one probe now
    WON,    // the names are ours: announce them
  };

  explicit NameClaim(std::string label = {});

  // Probing of the current name starts at `at`.
  void start(Clock::time_point at);
  Step step(Clock::time_point now);
  // When `step` has something to do next.
  std::optional<Clock::time_point> due() const { return next_; }

  bool owned() const { return owned_; }
  std::string name() const { return numbered_label(label_, number_); }

  // Another host holds the name: take the next one and probe it, after a pause while conflicts
  // keep coming (15 within 10 s).
  void conflict(Clock::time_point now);
  // Another host probed for the same name at the same time and won: probe again in a second.
  void lost_tie(Clock::time_point now);

 private:
  std::string label_;
  unsigned number_ = 1;
  int probes_sent_ = 0;
  bool owned_ = false;
  std::optional<Clock::time_point> next_;
  std::deque<Clock::time_point> conflicts_;  // the latest ones, at most as many as the limit
};

enum class ClaimVerdict {
  NONE,
  CONFLICT,  // another host answers for our names with other data
  LOST_TIE,  // another host probes for our names with records that sort later
};

// What a message from another host means for names claimed with `ours` (the records we probe
// with, or announce, on that link). While probing any answer for our names is a conflict; once
// owned, only one that gives a record of ours other data.
ClaimVerdict judge_message(const dns::Message& message, const std::vector<dns::Record>& ours,
                           bool probing);

// The probe for these records: a question of type ANY, asking for a unicast answer, for each
// name they carry, the records themselves in the authority section.
std::optional<std::vector<uint8_t>> probe_message(const std::vector<dns::Record>& ours);

}  // namespace brindle
