// The one mono 48 kHz sample queue between the receiver thread and the render side.
// Thread-safe: every operation takes the buffer's mutex (priority-inheriting on POSIX) for its
// whole duration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "jitter/pi_mutex.h"

namespace brindle {

inline constexpr size_t JITTER_CAPACITY = 48000;

class JitterBuffer {
 public:
  // Playback waits for `prefill_ms` of audio, and a queue grown past three times that is cut
  // back to the newest prefill. A prefill below one sample starts on the first sample and
  // never trims.
  explicit JitterBuffer(double prefill_ms);

  // Receiver thread: appends, then trims back to the prefill when past the high-water mark.
  void push(std::span<const float> samples);
  // Render side: fills the whole block, silence while filling or dry.
  void pop_into(std::span<float> block);

  // After an outage of the output: keeps only the newest prefill of what piled up, and playback
  // waits for the prefill again if less than that is left.
  void drop_backlog();

  double fill_ms() const;
  // The same in samples, exact.
  size_t queued_samples() const;
  uint64_t underruns() const;
  // Nothing to play: empty, or still filling toward the prefill (pops give silence either way).
  bool drained() const;

  size_t prefill() const { return prefill_; }
  size_t max_fill() const { return max_fill_; }
  size_t capacity() const { return JITTER_CAPACITY; }

 private:
  // With no prefill, playback still needs something to play before it counts as started,
  // otherwise every silent block would count as an underrun.
  size_t start_level() const { return prefill_ == 0 ? 1 : prefill_; }
  // Drops the oldest samples down to the prefill; mutex_ held, len_ above the prefill.
  void keep_newest_prefill();

  const size_t prefill_;
  const size_t max_fill_;
  mutable PiMutex mutex_;
  // Guarded by mutex_.
  std::vector<float> ring_;
  size_t read_pos_ = 0;
  size_t write_pos_ = 0;
  size_t len_ = 0;
  uint64_t underruns_ = 0;
  bool primed_ = false;
};

}  // namespace brindle
