#include "audio/render_state.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace brindle {

int16_t convert_i16(float x) {
  if (std::isnan(x)) return 0;  // a cast of NaN would be undefined
  // The clamp matters at +1.0, which would otherwise wrap to -32768.
  const float scaled = std::clamp(x * 32768.0f, -32768.0f, 32767.0f);
  return static_cast<int16_t>(scaled);
}

uint16_t convert_u16(float x) {
  return static_cast<uint16_t>(static_cast<uint16_t>(convert_i16(x)) ^ 0x8000u);
}

RenderState::RenderState(std::shared_ptr<JitterBuffer> jitter, uint32_t sample_rate,
                         uint16_t channels)
    : jitter_(std::move(jitter)),
      step_(static_cast<double>(STREAM_RATE) / static_cast<double>(sample_rate)),
      channels_(channels == 0 ? 1 : channels) {}

float RenderState::next_sample() {
  if (block_pos_ >= PULL_BLOCK_SAMPLES) {
    jitter_->pop_into(block_);
    block_pos_ = 0;
  }
  return block_[block_pos_++];
}

float RenderState::resample() {
  if (!started_) {
    prev_ = next_sample();
    cur_ = next_sample();
    started_ = true;
    phase_ = 0.0;
  }
  const float out = static_cast<float>(phase_) * (cur_ - prev_) + prev_;
  phase_ += step_;
  while (phase_ >= 1.0) {
    prev_ = cur_;
    cur_ = next_sample();
    phase_ -= 1.0;
  }
  return out;
}

template <class Sample, class Convert>
void RenderState::render(std::span<Sample> buffer, Convert convert) {
  // Straight into the host's buffer, frame by frame: no scratch, so no request size (the first
  // callback, a larger quantum) ever needs memory.
  const size_t frames = buffer.size() / channels_;
  Sample* out = buffer.data();
  for (size_t k = 0; k < frames; ++k) {
    const Sample value = convert(resample());
    for (size_t c = 0; c < channels_; ++c) *out++ = value;
  }
  std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(frames * channels_), buffer.end(),
            convert(0.0f));
}

void RenderState::render_block(std::span<float> buffer) {
  render(buffer, convert_f32);
}
void RenderState::render_block(std::span<int16_t> buffer) {
  render(buffer, convert_i16);
}
void RenderState::render_block(std::span<uint16_t> buffer) {
  render(buffer, convert_u16);
}

}  // namespace brindle
