// RFC 6762 section 6: a record goes to the group on one link at most once a second, however
// often it is asked for. One limiter per link; pure bookkeeping with the time passed in.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <unordered_map>

#include "discovery/dns_message.h"

namespace brindle {

class MulticastLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration INTERVAL = std::chrono::seconds(1);

  // True when the record was not multicast on this link during the last second.
  bool may_send(const dns::Record& record, Clock::time_point now) const;
  // The group heard the record, so the link no longer owes it.
  void sent(const dns::Record& record, Clock::time_point now);

  // A record withheld from a multicast answer is owed instead, so that a querier who asked
  // right after it went out is not left waiting for its own retry. Everything owed goes out
  // together, as one answer, once the limit allows the last of it.
  void owe(const dns::Record& record, bool answer, Clock::time_point now);
  std::optional<Clock::time_point> owed_due() const { return owed_due_; }
  // Identity of each owed record, true for answers (else additional); nothing is owed after.
  std::unordered_map<std::string, bool> take_owed();

 private:
  // Only the responder's own records are ever entered, so both stay small; entries of records
  // it no longer holds are dropped once they are stale, or when the owed answer goes out.
  std::unordered_map<std::string, Clock::time_point> last_sent_;
  std::unordered_map<std::string, bool> owed_;
  std::optional<Clock::time_point> owed_due_;
};

}  // namespace brindle
