// The receive path for one 480-sample datagram: parse, count, gain with clamp, peak, push; a
// matching pop keeps the jitter buffer at a steady level as the render side would.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

#include "protocol/datagram.h"
#include "receiver/receiver.h"

namespace {

constexpr size_t BLOCK = 480;

void BM_HandleDatagram480(benchmark::State& state) {
  const float gain = static_cast<float>(state.range(0)) / 100.0f;
  std::vector<int16_t> samples(BLOCK);
  for (size_t i = 0; i < BLOCK; ++i) {
    samples[i] = static_cast<int16_t>(20000.0 * std::sin(2 * M_PI * 440.0 * i / 48000.0));
  }
  auto jitter = std::make_shared<brindle::JitterBuffer>(40);
  brindle::Receiver receiver(jitter, gain);
  const brindle::SocketAddress source =
      brindle::make_v4_address(std::array<uint8_t, 4>{198, 51, 100, 2}, 50000);
  std::vector<std::vector<uint8_t>> datagrams;
  for (uint32_t seq = 0; seq < 64; ++seq) {
    datagrams.push_back(brindle::testing::make_datagram(seq, samples));
  }
  std::vector<float> block(BLOCK);
  size_t next = 0;
  for (auto _ : state) {
    receiver.handle_datagram(datagrams[next], source);
    next = (next + 1) % datagrams.size();
    jitter->pop_into(block);
    benchmark::DoNotOptimize(block.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["lost"] = static_cast<double>(receiver.stats()->lost.load());
}
// Unity gain skips the gain pass; 2.5 clamps part of the tone.
BENCHMARK(BM_HandleDatagram480)->Arg(100)->Arg(250);

}  // namespace
