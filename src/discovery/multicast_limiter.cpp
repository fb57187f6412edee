#include "discovery/multicast_limiter.h"

#include <algorithm>
#include <utility>

namespace brindle {
namespace {

constexpr size_t PRUNE_ABOVE = 256;

}  // namespace

bool MulticastLimiter::may_send(const dns::Record& record, Clock::time_point now,
                                Clock::duration interval) const {
  const auto found = last_sent_.find(dns::record_identity(record));
  return found == last_sent_.end() || now - found->second.at >= interval;
}

bool MulticastLimiter::fresh_on_link(const dns::Record& record, Clock::time_point now) const {
  const auto found = last_sent_.find(dns::record_identity(record));
  return found != last_sent_.end() && now - found->second.at < std::chrono::seconds(record.ttl) / 4;
}

void MulticastLimiter::sent(const dns::Record& record, Clock::time_point now) {
  if (last_sent_.size() > PRUNE_ABOVE) {
    std::erase_if(last_sent_, [&](const auto& entry) {
      return now - entry.second.at >= entry.second.remembered;
    });
  }
  std::string identity = dns::record_identity(record);
  owed_.erase(identity);
  if (owed_.empty()) owed_due_.reset();
  const Clock::duration quarter = std::chrono::seconds(record.ttl) / 4;
  last_sent_[std::move(identity)] = Sent{now, std::max(INTERVAL, quarter)};
}

void MulticastLimiter::owe(const dns::Record& record, bool answer, Clock::time_point now,
                           Clock::time_point not_before) {
  std::string identity = dns::record_identity(record);
  if (const auto owed = owed_.find(identity); owed != owed_.end()) {
    owed->second |= answer;
    return;
  }
  const auto found = last_sent_.find(identity);
  const Clock::time_point allowed =
      std::max({found != last_sent_.end() ? found->second.at + INTERVAL : now, now, not_before});
  owed_due_ = std::max(owed_due_.value_or(allowed), allowed);
  owed_[std::move(identity)] = answer;
}

std::unordered_map<std::string, bool> MulticastLimiter::take_owed() {
  owed_due_.reset();
  return std::exchange(owed_, {});
}

}  // namespace brindle
