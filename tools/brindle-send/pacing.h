// When each datagram leaves: real-time pace from absolute deadlines, so waits never drift.
#pragma once

#include <chrono>
#include <cstdint>

namespace brindle::send {

class Pacing {
 public:
  // `burst` datagrams leave together, when the audio of the group's last one is complete.
  Pacing(uint32_t samples_per_datagram, uint64_t burst)
      : samples_(samples_per_datagram), burst_(burst == 0 ? 1 : burst) {}

  // Offset of datagram `index` (from 0) from the start of sending. `total`, when known,
  // stops a final short group from waiting for audio that will never come.
  std::chrono::nanoseconds send_offset(uint64_t index, uint64_t total = UINT64_MAX) const;

 private:
  uint32_t samples_;
  uint64_t burst_;
};

}  // namespace brindle::send
