// The render side of the output stream: pulls 48 kHz mono blocks from the jitter buffer,
// resamples them linearly to the device rate, converts them to the device format and writes the
// same value into every channel of each frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "jitter/jitter_buffer.h"
#include "protocol/packet.h"

namespace brindle {

// Source samples per jitter-buffer pull: 10 ms at 48 kHz.
inline constexpr size_t PULL_BLOCK_SAMPLES = 480;

// Device sample conversions of one mono value.
inline float convert_f32(float x) {
  return x;
}
int16_t convert_i16(float x);
uint16_t convert_u16(float x);

// Owned by the stream's data callback and touched only on the stream thread: no lock here; the
// only lock taken is the jitter buffer's, once per pull block. Rendering allocates nothing, for
// any buffer size the host asks.
class RenderState {
 public:
  RenderState(std::shared_ptr<JitterBuffer> jitter, uint32_t sample_rate, uint16_t channels);

  // Each fills every sample of an interleaved device buffer. A trailing partial frame gets
  // silence.
  void render_block(std::span<float> buffer);
  void render_block(std::span<int16_t> buffer);
  void render_block(std::span<uint16_t> buffer);

  // The next 48 kHz source sample; refills the pull block when it is used up.
  float next_sample();

  double step() const { return step_; }

 private:
  template <class Sample, class Convert>
  void render(std::span<Sample> buffer, Convert convert);
  float resample();

  // Pull source.
  std::array<float, PULL_BLOCK_SAMPLES> block_{};
  std::shared_ptr<JitterBuffer> jitter_;
  size_t block_pos_ = PULL_BLOCK_SAMPLES;  // used up: the first read pulls
  // Resampler; carries over between callbacks so the output is continuous.
  const double step_;
  double phase_ = 0.0;
  float prev_ = 0.0f;
  float cur_ = 0.0f;
  bool started_ = false;
  const size_t channels_;
};

}  // namespace brindle
