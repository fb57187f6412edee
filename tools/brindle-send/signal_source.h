// Where the sent audio comes from: a sine tone or the samples of a WAV file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/result.h"

namespace brindle::send {

inline constexpr uint32_t SEND_RATE = 48000;

class SignalSource {
 public:
  virtual ~SignalSource() = default;
  // Fills the front of `out`; returns how many samples it wrote, 0 once the source has ended.
  virtual size_t read(std::span<int16_t> out) = 0;
};

// Endless sine at `freq_hz` with peak `level` (linear, 1 = full scale). Sample n is computed
// from n itself, so the phase never accumulates rounding error over long runs.
class ToneSource final : public SignalSource {
 public:
  ToneSource(double freq_hz, double level);
  size_t read(std::span<int16_t> out) override;

 private:
  double freq_hz_;
  double amplitude_;
  uint64_t next_ = 0;
};

class BufferSource final : public SignalSource {
 public:
  explicit BufferSource(std::vector<int16_t> samples) : samples_(std::move(samples)) {}
  size_t read(std::span<int16_t> out) override;

 private:
  std::vector<int16_t> samples_;
  size_t pos_ = 0;
};

// Stops `inner` after `limit` samples.
class LimitedSource final : public SignalSource {
 public:
  LimitedSource(std::unique_ptr<SignalSource> inner, uint64_t limit)
      : inner_(std::move(inner)), remaining_(limit) {}
  size_t read(std::span<int16_t> out) override;

 private:
  std::unique_ptr<SignalSource> inner_;
  uint64_t remaining_;
};

// The samples of a RIFF/WAVE image; only 16-bit PCM, mono, 48000 Hz is accepted.
Result<std::vector<int16_t>> parse_wav(std::span<const uint8_t> bytes);

// Reads and parses a WAV file; `path` is UTF-8.
Result<std::vector<int16_t>> load_wav(const std::string& path);

}  // namespace brindle::send
