#include "discovery/unicast_limiter.h"

namespace brindle {
namespace {

std::string key(const Ipv4Address& querier, const dns::Record& record) {
  std::string k(querier.begin(), querier.end());
  k += dns::record_identity(record);
  return k;
}

}  // namespace

bool UnicastLimiter::may_send(const Ipv4Address& querier, const dns::Record& record,
                              Clock::time_point now) {
  if (last_sent_.size() >= MAX_PER_INTERVAL) {
    std::erase_if(last_sent_, [&](const auto& entry) { return now - entry.second >= INTERVAL; });
  }
  const auto found = last_sent_.find(key(querier, record));
  if (found != last_sent_.end()) return now - found->second >= INTERVAL;
  return last_sent_.size() < MAX_PER_INTERVAL;
}

void UnicastLimiter::sent(const Ipv4Address& querier, const dns::Record& record,
                          Clock::time_point now) {
  last_sent_[key(querier, record)] = now;
}

}  // namespace brindle
