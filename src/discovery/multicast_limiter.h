// RFC 6762 section 6: a record goes to the group on one link at most once a second, however
// often it is asked for (four times a second when it answers a probe). One limiter per link;
// pure bookkeeping with the time passed in.
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
  static constexpr Clock::duration PROBE_INTERVAL = std::chrono::milliseconds(250);

  // True when the record was not multicast on this link during the last `interval`.
  bool may_send(const dns::Record& record, Clock::time_point now,
                Clock::duration interval = INTERVAL) const;
  // True when the record went to the group within a quarter of its TTL: caches on the link
  // are fresh, so a querier asking for a unicast reply may have one (RFC 6762 section 5.4).
  bool fresh_on_link(const dns::Record& record, Clock::time_point now) const;
  // The group heard the record, so the link no longer owes it.
  void sent(const dns::Record& record, Clock::time_point now);

  // A record withheld from a multicast answer is owed instead, so that a querier who asked
  // right after it went out is not left waiting for its own retry. Everything owed goes out
  // together, as one answer, once the limit allows the last of it and not before `not_before`
  // (a shared answer's random delay). A record owed already keeps its time, so a flood of
  // queries cannot put the answer off.
  void owe(const dns::Record& record, bool answer, Clock::time_point now,
           Clock::time_point not_before = {});
  std::optional<Clock::time_point> owed_due() const { return owed_due_; }
  // Identity of each owed record, true for answers (else additional); nothing is owed after.
  std::unordered_map<std::string, bool> take_owed();

 private:
  struct Sent {
    Clock::time_point at;
    Clock::duration remembered;  // a quarter of the TTL, at least the interval
  };

  // Only the responder's own records are ever entered, so both stay small; entries of records
  // it no longer holds are dropped once they are stale, or when the owed answer goes out.
  std::unordered_map<std::string, Sent> last_sent_;
  std::unordered_map<std::string, bool> owed_;
  std::optional<Clock::time_point> owed_due_;
};

}  // namespace brindle
