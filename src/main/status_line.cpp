#include "main/status_line.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string_view>
#include <thread>

#include <fmt/format.h>

#include "platform/console.h"

namespace brindle {
namespace {

constexpr auto STATUS_PERIOD = std::chrono::seconds(2);
constexpr float METER_DECAY = 0.6f;
constexpr float IDLE_DECAY = 0.5f;
constexpr std::string_view FILLED_CELL = "#";
constexpr std::string_view EMPTY_CELL = "\u00b7";  // middle dot
constexpr std::string_view NO_ADDRESS = "\u2014";  // em dash

std::string_view state_text(StreamState state) {
  switch (state) {
    case StreamState::STREAMING:
      return "streaming";
    case StreamState::IDLE:
      return "idle";
    case StreamState::WAITING:
      break;
  }
  return "waiting";
}

// The link state a line shows for `packets` so far, `delta` of them new.
StreamState stream_state(uint64_t packets, uint64_t delta) {
  if (delta != 0) return StreamState::STREAMING;
  return packets == 0 ? StreamState::WAITING : StreamState::IDLE;
}

// 32-bit arithmetic throughout, so the bar moves exactly as the figures say.
float next_meter(float meter, float peak, bool had_datagrams) {
  const float decayed = meter * METER_DECAY;
  float next = std::isnan(peak) ? decayed : std::max(decayed, peak);
  if (!had_datagrams) next *= IDLE_DECAY;
  return next;
}

}  // namespace

std::string meter_bar(float level) {
  const float clamped = std::isnan(level) ? 0.0f : std::clamp(level, 0.0f, 1.0f);
  // std::round takes halves away from zero: 0.125 is 2.5 cells, drawn as 3.
  const int filled = static_cast<int>(std::round(clamped * static_cast<float>(METER_CELLS)));
  std::string bar;
  bar.reserve(2 + METER_CELLS * EMPTY_CELL.size());
  bar += '[';
  for (int i = 0; i < METER_CELLS; ++i) bar += i < filled ? FILLED_CELL : EMPTY_CELL;
  bar += ']';
  return bar;
}

std::string format_status_line(StatusLoopState& state, const StatusFigures& figures) {
  const uint64_t delta = figures.packets - state.previous_packets;
  state.meter = next_meter(state.meter, figures.peak, delta != 0);
  state.shown = stream_state(figures.packets, delta);
  const std::string address =
      figures.sender ? format_socket_address(*figures.sender) : std::string(NO_ADDRESS);
  std::string line =
      fmt::format("[{:>9}] phone={}  rx={} (+{})  lost={}  fill={:.0f}ms  under={}  {} {:.2f}\n",
                  state_text(state.shown), address, figures.packets, delta, figures.lost,
                  figures.fill_ms, figures.underruns, meter_bar(state.meter), figures.peak);
  state.previous_packets = figures.packets;
  return line;
}

void status_loop(std::shared_ptr<JitterBuffer> jitter, std::shared_ptr<ReceiverStats> stats,
                 StatusListener listener) {
  StatusLoopState state;
  for (;;) {
    // A plain relative sleep: the period includes the time spent writing, and drifts.
    std::this_thread::sleep_for(STATUS_PERIOD);
    // The reads happen one by one in this order; no two locks are held together.
    StatusFigures figures;
    figures.packets = stats->packets.load(std::memory_order_relaxed);
    figures.lost = stats->lost.load(std::memory_order_relaxed);
    figures.peak = stats->peak();
    figures.sender = stats->last_addr();
    figures.fill_ms = jitter->fill_ms();
    figures.underruns = jitter->underruns();
    console::write_status(format_status_line(state, figures));
    if (listener) listener(state.shown, figures);
  }
}

}  // namespace brindle
