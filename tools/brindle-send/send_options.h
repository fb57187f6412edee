// The command line of brindle-send.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace brindle::send {

inline constexpr uint16_t DEFAULT_PORT = 45333;
inline constexpr uint32_t DEFAULT_SAMPLES = 480;
// The receiver reads at most this many samples of one datagram.
inline constexpr uint32_t MAX_SAMPLES = 1018;

struct SendOptions {
  std::string host = "127.0.0.1";
  uint16_t port = DEFAULT_PORT;
  uint32_t samples = DEFAULT_SAMPLES;  // per datagram
  double freq_hz = 1000.0;
  double level = 0.5;  // linear peak amplitude, 1.0 = full scale
  std::optional<std::string> wav_path;
  std::optional<double> duration_s;  // none: until Ctrl-C (tone) or end of file (WAV)
  uint32_t seq_start = 0;
  uint64_t drop_every = 0;  // 0 = off
  uint64_t duplicate_every = 0;
  uint64_t reorder_every = 0;
  uint64_t burst = 1;
  std::optional<uint64_t> count;
};

struct ParsedCommand {
  bool show_help = false;
  SendOptions options;
};

// A usage error is the message to print (without the program name).
Result<ParsedCommand> parse_send_options(const std::vector<std::string>& args);

extern const std::string_view SEND_HELP_TEXT;

}  // namespace brindle::send
