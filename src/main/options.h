// The command line: options, the actions it can ask for, and its usage errors.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "audio/device_selection.h"

namespace brindle {

inline constexpr double DEFAULT_PREFILL_MS = 40.0;
inline constexpr double PREFILL_LIMIT_MS = 1000.0;
inline constexpr float MAX_GAIN = 64.0f;

enum class AutostartMode { ON, OFF };

struct Options {
  std::string device{DEFAULT_DEVICE_QUERY};
  double prefill_ms = DEFAULT_PREFILL_MS;
  float gain = 1.0f;
  bool no_mdns = false;
  bool background = false;
  std::optional<AutostartMode> autostart;
};

// Actions that end the program the moment the parser reaches them.
struct ShowHelp {};
struct ListDevices {};
struct CheckDevice {
  std::string name;
};
// Ends the program with status 2: `message` on standard error, then the help text when asked.
struct UsageError {
  std::string message;
  bool with_help = false;
};

using Command = std::variant<Options, ShowHelp, ListDevices, CheckDevice, UsageError>;

// Walks the arguments (without the program path) left to right; pure.
Command parse_options(std::span<const std::string> arguments);

// Decimal floating-point text as the options accept it; nothing for any other form.
std::optional<float> parse_f32(std::string_view text);
std::optional<double> parse_f64(std::string_view text);

extern const std::string_view HELP_TEXT;

}  // namespace brindle
