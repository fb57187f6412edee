#include "pacing.h"

#include <algorithm>

#include "signal_source.h"

namespace brindle::send {

std::chrono::nanoseconds Pacing::send_offset(uint64_t index, uint64_t total) const {
  uint64_t slot = (index / burst_) * burst_ + (burst_ - 1);
  if (total != 0) slot = std::min(slot, total - 1);
  // Whole nanoseconds from an exact integer product: datagram n is due at n × samples / 48000 s.
  const uint64_t samples = slot * samples_;
  return std::chrono::nanoseconds(static_cast<int64_t>(samples * 62500 / 3));
}

}  // namespace brindle::send
