#include "jitter/jitter_buffer.h"

#include <algorithm>
#include <limits>
#include <mutex>

namespace brindle {

namespace {

// Truncates toward zero; negative and NaN give 0, anything past the range the largest value.
size_t prefill_samples(double prefill_ms) {
  const double samples = prefill_ms * 48000.0 / 1000.0;
  if (!(samples > 0.0)) return 0;
  constexpr size_t LARGEST = std::numeric_limits<size_t>::max();
  // 2^64 (or 2^32) is exact as a double; everything below it converts without overflow.
  if (samples >= static_cast<double>(LARGEST)) return LARGEST;
  return static_cast<size_t>(samples);
}

// Zero prefill means "never trim"; the ring itself still bounds the queue at one second.
size_t high_water_mark(size_t prefill) {
  if (prefill == 0) return JITTER_CAPACITY;
  return prefill < JITTER_CAPACITY / 3 ? 3 * prefill : JITTER_CAPACITY;
}

}  // namespace

JitterBuffer::JitterBuffer(double prefill_ms)
    : prefill_(prefill_samples(prefill_ms)),
      max_fill_(high_water_mark(prefill_)),
      ring_(JITTER_CAPACITY, 0.0f) {}

void JitterBuffer::push(std::span<const float> samples) {
  const std::lock_guard lock(mutex_);
  const size_t total = samples.size();
  if (total == 0) return;

  // Storing sample by sample would overwrite everything but the last second, so only that
  // part is copied; positions and length end up exactly as with the one-by-one rule.
  const std::span<const float> kept =
      total > JITTER_CAPACITY ? samples.last(JITTER_CAPACITY) : samples;
  size_t pos = (write_pos_ + (total - kept.size())) % JITTER_CAPACITY;
  size_t done = 0;
  while (done < kept.size()) {
    const size_t chunk = std::min(kept.size() - done, JITTER_CAPACITY - pos);
    std::copy_n(kept.begin() + static_cast<std::ptrdiff_t>(done), chunk,
                ring_.begin() + static_cast<std::ptrdiff_t>(pos));
    done += chunk;
    pos = (pos + chunk) % JITTER_CAPACITY;
  }
  write_pos_ = pos;
  if (total >= JITTER_CAPACITY - len_) {
    len_ = JITTER_CAPACITY;
    read_pos_ = write_pos_;  // full: the oldest sample sits where the next one goes
  } else {
    len_ += total;
  }

  // High-water rule, once per datagram: keep the newest `prefill_` samples.
  if (len_ > max_fill_) keep_newest_prefill();
}

void JitterBuffer::pop_into(std::span<float> block) {
  const std::lock_guard lock(mutex_);
  if (!primed_) {
    if (len_ < start_level()) {
      std::fill(block.begin(), block.end(), 0.0f);
      return;
    }
    primed_ = true;
  }
  if (len_ == 0) {
    ++underruns_;
    primed_ = false;
  }

  const size_t take = std::min(len_, block.size());
  size_t done = 0;
  while (done < take) {
    const size_t chunk = std::min(take - done, JITTER_CAPACITY - read_pos_);
    std::copy_n(ring_.begin() + static_cast<std::ptrdiff_t>(read_pos_), chunk,
                block.begin() + static_cast<std::ptrdiff_t>(done));
    done += chunk;
    read_pos_ = (read_pos_ + chunk) % JITTER_CAPACITY;
  }
  len_ -= take;
  std::fill(block.begin() + static_cast<std::ptrdiff_t>(take), block.end(), 0.0f);
}

void JitterBuffer::keep_newest_prefill() {
  read_pos_ = (read_pos_ + len_ - prefill_) % JITTER_CAPACITY;
  len_ = prefill_;
}

void JitterBuffer::drop_backlog() {
  const std::lock_guard lock(mutex_);
  if (len_ > prefill_) keep_newest_prefill();
  primed_ = len_ >= start_level();
}

double JitterBuffer::fill_ms() const {
  const std::lock_guard lock(mutex_);
  return static_cast<double>(len_) / 48000.0 * 1000.0;
}

size_t JitterBuffer::queued_samples() const {
  const std::lock_guard lock(mutex_);
  return len_;
}

uint64_t JitterBuffer::underruns() const {
  const std::lock_guard lock(mutex_);
  return underruns_;
}

bool JitterBuffer::drained() const {
  const std::lock_guard lock(mutex_);
  return len_ == 0 || (!primed_ && len_ < start_level());
}

}  // namespace brindle
