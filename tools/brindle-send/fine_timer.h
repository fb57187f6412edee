// Sleeps precise enough for 10 ms pacing. Windows wakes sleepers only every 15.6 ms unless a
// finer timer tick is requested; other systems need nothing.
#pragma once

namespace brindle::send {

// Holds the finer tick for its lifetime.
class FineTimer {
 public:
  FineTimer();
  ~FineTimer();
  FineTimer(const FineTimer&) = delete;
  FineTimer& operator=(const FineTimer&) = delete;

 private:
  bool active_ = false;
};

}  // namespace brindle::send
