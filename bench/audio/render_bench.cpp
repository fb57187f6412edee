// Render path throughput: device frames produced per second of CPU time, with the jitter buffer
// kept fed so every pull returns audio rather than silence.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/render_state.h"
#include "jitter/jitter_buffer.h"

namespace brindle {
namespace {

// 500 ms prefill: 24000 samples queued, high-water mark at the full second, so refills of up to
// 24000 samples never trigger a trim.
constexpr double PREFILL_MS = 500.0;
constexpr size_t REFILL = 24000;

std::vector<float> tone(size_t count) {
  std::vector<float> out(count);
  for (size_t i = 0; i < count; ++i) out[i] = 0.5f * std::sin(static_cast<float>(i) * 0.0573f);
  return out;
}

template <class Sample>
void render_path(benchmark::State& state, uint32_t rate) {
  const size_t frames = static_cast<size_t>(state.range(0));
  constexpr uint16_t CHANNELS = 2;
  const std::vector<float> source = tone(REFILL);
  auto jitter = std::make_shared<JitterBuffer>(PREFILL_MS);
  jitter->push(source);
  RenderState render(jitter, rate, CHANNELS);
  std::vector<Sample> buffer(frames * CHANNELS);
  const double source_per_callback = static_cast<double>(frames) * 48000.0 / rate;
  double consumed = 0.0;
  for (auto _ : state) {
    render.render_block(std::span<Sample>(buffer));
    benchmark::DoNotOptimize(buffer.data());
    consumed += source_per_callback;
    if (consumed >= REFILL - 2048) {
      state.PauseTiming();
      jitter->push(source);
      consumed = 0.0;
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(frames));
  state.counters["underruns"] = static_cast<double>(jitter->underruns());
}

void BM_Render48kStereoF32(benchmark::State& state) {
  render_path<float>(state, 48000);
}
void BM_Render44k1StereoI16(benchmark::State& state) {
  render_path<int16_t>(state, 44100);
}

BENCHMARK(BM_Render48kStereoF32)->Arg(240)->Arg(480)->Arg(1024);
BENCHMARK(BM_Render44k1StereoI16)->Arg(240)->Arg(441)->Arg(1024);

}  // namespace
}  // namespace brindle
