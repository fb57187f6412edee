#include "receiver/receive_recovery.h"

#include <algorithm>

#include <fmt/format.h>

namespace brindle {

namespace {
constexpr int MAX_DOUBLINGS = 5;
}  // namespace

ReceiveRecovery::Action ReceiveRecovery::on_failure(const ReceiveFailure& failure,
                                                    Clock::time_point now) {
  const bool new_episode =
      !last_failure_ || (received_since_failure_ && now - *last_failure_ >= EPISODE_GAP);
  received_since_failure_ = false;
  last_failure_ = now;

  Action action;
  if (new_episode) {
    action.report = fmt::format("UDP receive error: {} — retrying\n", failure.error);
  }
  // 100, 200, 400, 800, 1600, then 2000 ms; the count stops where the pause does.
  action.pause = std::min(FIRST_PAUSE * (1 << consecutive_), LONGEST_PAUSE);
  consecutive_ = std::min(consecutive_ + 1, MAX_DOUBLINGS);
  action.rebind = failure.socket_lost;
  return action;
}

void ReceiveRecovery::on_datagram() {
  received_since_failure_ = true;
  consecutive_ = 0;
}

}  // namespace brindle
