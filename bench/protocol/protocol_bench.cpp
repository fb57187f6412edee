// Per-datagram and per-block costs on the audio path: one 10 ms datagram of 480 samples.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "jitter/jitter_buffer.h"
#include "protocol/datagram.h"
#include "protocol/packet.h"

namespace {

constexpr size_t BLOCK = 480;

std::vector<int16_t> tone(size_t count) {
  std::vector<int16_t> samples(count);
  for (size_t i = 0; i < count; ++i) {
    samples[i] = static_cast<int16_t>(12000.0 * std::sin(2 * M_PI * 440.0 * i / 48000.0));
  }
  return samples;
}

void BM_ParsePacket480(benchmark::State& state) {
  const auto samples = tone(BLOCK);
  const auto bytes = brindle::testing::make_datagram(1, samples);
  for (auto _ : state) {
    auto packet = brindle::parse_packet(bytes);
    benchmark::DoNotOptimize(packet);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_ParsePacket480);

void BM_JitterPushPop480(benchmark::State& state) {
  brindle::JitterBuffer buffer(40);
  const std::vector<float> datagram(BLOCK, 0.25f);
  std::vector<float> block(BLOCK);
  // Start at the prefill level so every pop plays real samples.
  for (int i = 0; i < 4; ++i) buffer.push(datagram);
  for (auto _ : state) {
    buffer.push(datagram);
    buffer.pop_into(block);
    benchmark::DoNotOptimize(block.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["underruns"] = static_cast<double>(buffer.underruns());
}
BENCHMARK(BM_JitterPushPop480);

}  // namespace
