#include "discovery/debounce.h"

#include <algorithm>

namespace brindle {

void Debounce::report(Clock::time_point now) {
  if (!first_) first_ = now;
  last_ = now;
}

std::optional<Debounce::Clock::time_point> Debounce::due() const {
  if (!first_) return std::nullopt;
  Clock::time_point at = std::min(last_ + quiet_, *first_ + longest_);
  if (previous_look_) at = std::max(at, *previous_look_ + quiet_);
  return at;
}

bool Debounce::take(Clock::time_point now) {
  const auto at = due();
  if (!at || now < *at) return false;
  first_.reset();
  previous_look_ = now;
  return true;
}

Debounce network_change_debounce() {
  return Debounce(std::chrono::seconds(1), std::chrono::seconds(3));
}

}  // namespace brindle
