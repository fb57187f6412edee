// RFC 6762 section 6: a record goes to the group on one link at most once a second, however
// often it is asked for. One limiter per link; pure bookkeeping with the time passed in.
#pragma once

#include <chrono>
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
  void sent(const dns::Record& record, Clock::time_point now);

 private:
  // Only the responder's own records are ever entered, so this stays small; entries of records
  // it no longer holds are dropped once they are stale.
  std::unordered_map<std::string, Clock::time_point> last_sent_;
};

}  // namespace brindle
