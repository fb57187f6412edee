// Unicast replies (to questions asking for one and to ordinary resolvers) are bounded like the
// group's: a record goes to one querier at most once per INTERVAL, and to all queriers together
// at most MAX_PER_INTERVAL times per INTERVAL, so no rate of queries, from however many
// addresses, becomes a rate of answers. The interval is short because an ordinary resolver has
// no cache: two programs on one phone may well ask the same within a second. One limiter per
// responder; pure bookkeeping with the time passed in.
#pragma once

#include <chrono>
#include <string>
#include <unordered_map>

#include "discovery/dns_message.h"
#include "discovery/ipv4.h"

namespace brindle {

class UnicastLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration INTERVAL = std::chrono::milliseconds(250);
  static constexpr size_t MAX_PER_INTERVAL = 256;

  // True when the record may go to this querier now. The querier is its address alone: an
  // ordinary resolver asks from a new port each time.
  bool may_send(const Ipv4Address& querier, const dns::Record& record, Clock::time_point now);
  void sent(const Ipv4Address& querier, const dns::Record& record, Clock::time_point now);

 private:
  std::unordered_map<std::string, Clock::time_point> last_sent_;  // querier and record identity
};

}  // namespace brindle
