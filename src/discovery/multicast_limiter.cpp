#include "discovery/multicast_limiter.h"

namespace brindle {
namespace {

constexpr size_t PRUNE_ABOVE = 256;

}  // namespace

bool MulticastLimiter::may_send(const dns::Record& record, Clock::time_point now) const {
  const auto found = last_sent_.find(dns::record_identity(record));
  return found == last_sent_.end() || now - found->second >= INTERVAL;
}

void MulticastLimiter::sent(const dns::Record& record, Clock::time_point now) {
  if (last_sent_.size() > PRUNE_ABOVE) {
    std::erase_if(last_sent_, [&](const auto& entry) { return now - entry.second >= INTERVAL; });
  }
  last_sent_[dns::record_identity(record)] = now;
}

}  // namespace brindle
