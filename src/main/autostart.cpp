#include "main/autostart.h"

#include <charconv>
#include <cmath>
#include <string>

#include <fmt/format.h>

#include "audio/device_selection.h"
#include "main/autostart_store.h"
#include "platform/command_line_quote.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/unicode_lower.h"
#include "platform/utf8.h"

namespace brindle {
namespace {

// Shortest digits that read back to the same value, written without exponent or trailing ".0".
template <class Float>
std::string plain_decimal(Float value) {
  char buffer[64];
  const auto [end, error] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string_view scientific(buffer, static_cast<size_t>(end - buffer));
  if (error != std::errc{} || !std::isfinite(value)) return std::string(scientific);

  std::string text;
  if (scientific.front() == '-') {
    text = "-";
    scientific.remove_prefix(1);
  }
  const size_t e = scientific.find('e');
  std::string digits;
  for (const char c : scientific.substr(0, e)) {
    if (c != '.') digits += c;
  }
  std::string_view exponent_text = scientific.substr(e + 1);
  const bool negative_exponent = exponent_text.front() == '-';
  exponent_text.remove_prefix(1);  // the sign is always written
  int exponent = 0;
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  if (negative_exponent) exponent = -exponent;

  const long integer_digits = long{exponent} + 1;
  const long digit_count = static_cast<long>(digits.size());
  if (integer_digits <= 0) {
    text += "0.";
    text.append(static_cast<size_t>(-integer_digits), '0');
    text += digits;
  } else if (integer_digits >= digit_count) {
    text += digits;
    text.append(static_cast<size_t>(integer_digits - digit_count), '0');
  } else {
    text += digits.substr(0, static_cast<size_t>(integer_digits));
    text += '.';
    text += digits.substr(static_cast<size_t>(integer_digits));
  }
  return text;
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// The tool's error output as text: invalid UTF-8 replaced, white space trimmed at both ends.
std::string trimmed_text(std::string_view bytes) {
  const std::u32string decoded = utf8::decode(bytes);
  size_t first = 0;
  size_t last = decoded.size();
  while (first < last && is_white_space(decoded[first])) ++first;
  while (last > first && is_white_space(decoded[last - 1])) --last;
  return utf8::encode(std::u32string_view(decoded).substr(first, last - first));
}

// A tool that failed without a word still gets a message that says what failed.
std::string tool_message(const ProcessOutput& output, std::string_view action) {
  std::string message = trimmed_text(output.err);
  if (message.empty())
    message = fmt::format("{} ended with exit status {}", action, output.exit_code);
  return message;
}

AutostartOutcome failure(std::string message) {
  return AutostartOutcome{1, "", "autostart: " + message + "\n"};
}

}  // namespace

std::string autostart_command(std::string_view exe_path, const Options& options) {
  // Windows paths hold no `"` and never end in a backslash, so they stay verbatim in the quotes.
  std::string command = quote_windows_argument(utf8::sanitize(exe_path)) + " --background";
  if (options.device != DEFAULT_DEVICE_QUERY) {
    command += " --device " + quote_windows_argument(options.device);
  }
  if (options.gain != 1.0f) command += " --gain " + plain_decimal(options.gain);
  if (options.prefill_ms != DEFAULT_PREFILL_MS) {
    command += " --prefill-ms " + plain_decimal(options.prefill_ms);
  }
  if (options.no_mdns) command += " --no-mdns";
  return command;
}

AutostartOutcome run_autostart(AutostartMode mode, const Options& options,
                               const std::function<Result<std::string>()>& exe_path,
                               AutostartStore& store) {
  if (mode == AutostartMode::ON) {
    const Result<std::string> path = exe_path();
    if (!path) return failure("cannot resolve own path: " + path.error());
    const std::string data = autostart_command(*path, options);
    const Result<ProcessOutput> added = store.add(data);
    if (!added) return failure("reg add failed to run: " + added.error());
    if (added->exit_code != 0) return failure(tool_message(*added, "reg add"));
    return AutostartOutcome{0, "autostart on — will run at login as: " + data + "\n", ""};
  }

  const Result<ProcessOutput> removed = store.remove();
  if (!removed) return failure("reg delete failed to run: " + removed.error());
  // A value that was never there is as good as removed.
  if (removed->exit_code != 0 &&
      unicode_lower(removed->err).find("unable to find") == std::string::npos) {
    return failure(tool_message(*removed, "reg delete"));
  }
  return AutostartOutcome{0, "autostart off\n", ""};
}

AutostartOutcome apply_autostart(AutostartMode mode, const Options& options) {
  const std::unique_ptr<AutostartStore> store = make_autostart_store();
  AutostartOutcome outcome = run_autostart(mode, options, executable_path, *store);
  if (!outcome.out.empty()) console::write_out(outcome.out);
  if (!outcome.err.empty()) console::write_err(outcome.err);
  return outcome;
}

int set_autostart(const Options& options) {
  if (!options.autostart) return 0;
  return apply_autostart(*options.autostart, options).exit_status;
}

}  // namespace brindle
