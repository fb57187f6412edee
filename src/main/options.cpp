#include "main/options.h"

#include <cstdlib>
#include <string>

namespace brindle {
namespace {

constexpr std::string_view GAIN_MESSAGE = "--gain needs a number in (0, 64]  (1 = unity, try 4)\n";
constexpr std::string_view PREFILL_MESSAGE = "--prefill-ms needs a number in [0, 1000)\n";

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Optional sign, digits with an optional point (at least one digit in all), optional exponent.
// Rejects what strtod would also take: spaces, "inf"/"nan", hexadecimal, a comma.
bool is_decimal_number(std::string_view text) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  size_t mantissa_digits = 0;
  while (i < text.size() && is_digit(text[i])) ++i, ++mantissa_digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && is_digit(text[i])) ++i, ++mantissa_digits;
  }
  if (mantissa_digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t exponent_digits = 0;
    while (i < text.size() && is_digit(text[i])) ++i, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  return i == text.size();
}

}  // namespace

// strtof/strtod round to the nearest value of their width; the program never changes the C
// locale, so the decimal point is always ".".
std::optional<float> parse_f32(std::string_view text) {
  if (!is_decimal_number(text)) return std::nullopt;
  const std::string copy(text);
  return std::strtof(copy.c_str(), nullptr);
}

std::optional<double> parse_f64(std::string_view text) {
  if (!is_decimal_number(text)) return std::nullopt;
  const std::string copy(text);
  return std::strtod(copy.c_str(), nullptr);
}

Command parse_options(std::span<const std::string> arguments) {
  Options options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    const std::string* const value = i + 1 < arguments.size() ? &arguments[i + 1] : nullptr;

    if (arg == "-h" || arg == "--help") return ShowHelp{};
    if (arg == "--list-devices") return ListDevices{};
    if (arg == "--no-mdns") {
      options.no_mdns = true;
    } else if (arg == "--background") {
      options.background = true;
    } else if (arg == "-d" || arg == "--device") {
      if (!value) return UsageError{"--device needs a value\n"};
      options.device = *value;
      ++i;
    } else if (arg == "--check-device") {
      if (!value) return UsageError{"--check-device needs a name\n"};
      return CheckDevice{*value};
    } else if (arg == "-g" || arg == "--gain") {
      const std::optional<float> gain = value ? parse_f32(*value) : std::nullopt;
      if (!gain || !(*gain > 0.0f && *gain <= MAX_GAIN))
        return UsageError{std::string(GAIN_MESSAGE)};
      options.gain = *gain;
      ++i;
    } else if (arg == "--prefill-ms") {
      const std::optional<double> ms = value ? parse_f64(*value) : std::nullopt;
      if (!ms || !(*ms >= 0.0 && *ms < PREFILL_LIMIT_MS)) {
        return UsageError{std::string(PREFILL_MESSAGE)};
      }
      options.prefill_ms = *ms + 0.0;  // "-0" becomes +0
      ++i;
    } else if (arg == "--autostart") {
      if (value && *value == "on") {
        options.autostart = AutostartMode::ON;
      } else if (value && *value == "off") {
        options.autostart = AutostartMode::OFF;
      } else {
        return UsageError{"--autostart needs on|off\n"};
      }
      ++i;
    } else {
      return UsageError{"unknown argument: " + arg + "\n\n", true};
    }
  }
  return options;
}

}  // namespace brindle
