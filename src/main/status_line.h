// The status line printed every two seconds, and the loop that prints it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "jitter/jitter_buffer.h"
#include "platform/socket_address.h"
#include "receiver/receiver.h"

namespace brindle {

inline constexpr int METER_CELLS = 20;

enum class StreamState { WAITING, IDLE, STREAMING };

// "[####····...]": always 20 cells between the brackets.
std::string meter_bar(float level);

// The loop's memory from one line to the next.
struct StatusLoopState {
  uint64_t previous_packets = 0;
  float meter = 0.0f;
  StreamState shown = StreamState::WAITING;  // the link state the last line showed
};

struct StatusFigures {
  uint64_t packets = 0;
  uint64_t lost = 0;
  float peak = 0.0f;
  std::optional<SocketAddress> sender;
  double fill_ms = 0.0;
  uint64_t underruns = 0;
};

// One line with its trailing "\n"; advances `state` (meter decay, previous packets).
std::string format_status_line(StatusLoopState& state, const StatusFigures& figures);

// Told after each line what it showed (the notification-area icon follows the status line).
using StatusListener = std::function<void(StreamState, const StatusFigures&)>;

// Never returns: sleeps two seconds, then writes one line, for ever. Main thread.
[[noreturn]] void status_loop(std::shared_ptr<JitterBuffer> jitter,
                              std::shared_ptr<ReceiverStats> stats, StatusListener listener = {});

}  // namespace brindle
