// What the receive loop does after a failed receive: one line per episode, a growing pause,
// and a fresh socket when the failure took the old one away. Free of OS calls and clocks.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace brindle {

// A failed receive as the platform layer classified it.
struct ReceiveFailure {
  std::string error;         // the OS text
  bool socket_lost = false;  // the socket is unusable and must be bound again
};

// Receiver thread only.
class ReceiveRecovery {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds FIRST_PAUSE{100};
  static constexpr std::chrono::milliseconds LONGEST_PAUSE{2000};
  // Failures this close together belong to one episode even when datagrams came in between,
  // so a burst of errors among good datagrams is reported once.
  static constexpr std::chrono::seconds EPISODE_GAP{10};

  struct Action {
    std::optional<std::string> report;  // a line for standard error, at an episode's start only
    std::chrono::milliseconds pause{0};
    bool rebind = false;
  };

  Action on_failure(const ReceiveFailure& failure, Clock::time_point now);
  // A datagram arrived: the next failure starts from the shortest pause again.
  void on_datagram();

 private:
  bool received_since_failure_ = false;
  std::optional<Clock::time_point> last_failure_;  // none before the first failure
  int consecutive_ = 0;                            // failures since the last datagram
};

}  // namespace brindle
