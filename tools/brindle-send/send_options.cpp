#include "send_options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <limits>

#include <fmt/format.h>

namespace brindle::send {
namespace {

// Decimal only: from_chars rejects signs we do not want, hex, spaces and trailing junk.
template <class T>
std::optional<T> parse_unsigned(std::string_view text) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::optional<double> parse_number(std::string_view text) {
  double value = 0.0;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

// One option that takes a value: how to store it, and the message when the value does not fit.
struct OptionRule {
  std::string_view name;
  std::function<bool(SendOptions&, std::string_view)> store;  // false: the value does not fit
  std::string problem;
  bool tone = false;  // shapes the tone, so cannot go with --wav
};

template <class Field, class Accepts>
auto real(Field SendOptions::*field, Accepts accepts) {
  return [field, accepts](SendOptions& o, std::string_view text) {
    const std::optional<double> value = parse_number(text);
    if (!value || !accepts(*value)) return false;
    o.*field = *value;
    return true;
  };
}

template <class T, class Field>
auto whole(Field SendOptions::*field, T min, T max = std::numeric_limits<T>::max()) {
  return [field, min, max](SendOptions& o, std::string_view text) {
    const std::optional<T> value = parse_unsigned<T>(text);
    if (!value || *value < min || *value > max) return false;
    o.*field = *value;
    return true;
  };
}

// A count of datagrams, at least `min`.
template <class Field>
OptionRule count_rule(std::string_view name, Field SendOptions::*field, uint64_t min) {
  return {name, whole<uint64_t>(field, min),
          fmt::format("{} needs a whole number of at least {}", name, min)};
}

std::vector<OptionRule> option_rules() {
  return {
      {"--freq", real(&SendOptions::freq_hz, [](double f) { return f > 0.0 && f < 24000.0; }),
       "--freq needs a frequency in Hz above 0 and below 24000", true},
      {"--level", real(&SendOptions::level, [](double l) { return l >= 0.0 && l <= 1.0; }),
       "--level needs a linear amplitude from 0 to 1", true},
      {"--wav",
       [](SendOptions& o, std::string_view path) {
         o.wav_path = std::string(path);
         return true;
       },
       ""},
      // A day is far beyond any test, and keeps sample counts far from overflow.
      {"--duration",
       real(&SendOptions::duration_s, [](double d) { return d > 0.0 && d <= 86400.0; }),
       "--duration needs a number of seconds above 0 (at most 86400)"},
      count_rule("--count", &SendOptions::count, 1),
      {"--samples", whole<uint32_t>(&SendOptions::samples, 1, MAX_SAMPLES),
       fmt::format("--samples needs a whole number from 1 to {}", MAX_SAMPLES)},
      {"--seq-start", whole<uint32_t>(&SendOptions::seq_start, 0),
       "--seq-start needs a whole number from 0 to 4294967295"},
      count_rule("--drop-every", &SendOptions::drop_every, 0),
      count_rule("--duplicate-every", &SendOptions::duplicate_every, 0),
      count_rule("--reorder-every", &SendOptions::reorder_every, 0),
      count_rule("--burst", &SendOptions::burst, 1),
  };
}

}  // namespace

const std::string_view SEND_HELP_TEXT =
    "brindle-send — plays the phone: sends Brindle audio datagrams over UDP\n"
    "\n"
    "USAGE:\n"
    "  brindle-send [OPTIONS] [HOST [PORT]]\n"
    "\n"
    "HOST is an IPv4 or IPv6 literal or a host name (default 127.0.0.1), PORT defaults\n"
    "to 45333. Datagrams go out in real time: one per 480 samples of 48 kHz mono audio.\n"
    "\n"
    "SIGNAL (a sine tone unless --wav is given):\n"
    "  --freq <HZ>           Tone frequency, above 0 and below 24000 (default 1000).\n"
    "  --level <AMP>         Tone peak amplitude, linear, 0 to 1 (default 0.5;\n"
    "                        1 = full scale, 0.5 = -6 dBFS, 0 = silence).\n"
    "  --wav <FILE>          Send a 16-bit PCM mono 48000 Hz WAV file instead.\n"
    "\n"
    "LENGTH (the first limit reached ends the run; Ctrl-C also ends it):\n"
    "  --duration <S>        Seconds of audio to send (default: until Ctrl-C for the\n"
    "                        tone, the whole file for --wav).\n"
    "  --count <N>           Send at most N datagrams (counted before impairments).\n"
    "\n"
    "DATAGRAMS:\n"
    "  --samples <N>         Samples per datagram, 1 to 1018 (default 480 = 10 ms).\n"
    "  --seq-start <N>       First sequence number, 0 to 4294967295 (default 0); wraps.\n"
    "\n"
    "IMPAIRMENTS (N counts datagrams from 1; 0 turns one off):\n"
    "  --drop-every <N>      Never send every Nth datagram; its sequence number is lost.\n"
    "  --duplicate-every <N> Send every Nth datagram twice.\n"
    "  --reorder-every <N>   Hold every Nth datagram back and send it after the next one.\n"
    "  --burst <N>           Send N datagrams back to back, each group when its last\n"
    "                        datagram's audio is complete; the average pace stays real\n"
    "                        time (default 1).\n"
    "\n"
    "  -h, --help            Show this help.\n"
    "\n"
    "At the end one summary line is printed. Exit status: 0 when every datagram was\n"
    "sent, 1 on a runtime failure, 2 on a usage error.\n";

Result<ParsedCommand> parse_send_options(const std::vector<std::string>& args) {
  const std::vector<OptionRule> rules = option_rules();
  ParsedCommand command;
  SendOptions& o = command.options;
  std::vector<std::string_view> positional;
  bool tone_option_given = false;

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "-h" || arg == "--help") {
      command.show_help = true;
      return command;
    }
    if (arg.size() < 2 || arg[0] != '-' || arg == "--") {
      positional.push_back(arg);
      continue;
    }
    if (i + 1 >= args.size()) return make_error(fmt::format("{} needs a value", arg));
    const std::string_view value = args[++i];
    const auto rule = std::find_if(rules.begin(), rules.end(),
                                   [arg](const OptionRule& r) { return r.name == arg; });
    if (rule == rules.end()) return make_error(fmt::format("unknown option: {}", arg));
    tone_option_given = tone_option_given || rule->tone;
    if (!rule->store(o, value)) return make_error(rule->problem);
  }

  if (positional.size() > 2) {
    return make_error(fmt::format("unexpected argument: {}", positional[2]));
  }
  if (!positional.empty()) {
    if (positional[0].empty()) return make_error("HOST must not be empty");
    o.host = std::string(positional[0]);
  }
  if (positional.size() == 2) {
    const auto port = parse_unsigned<uint16_t>(positional[1]);
    if (!port || *port == 0) {
      return make_error(
          fmt::format("PORT must be a number from 1 to 65535, not {}", positional[1]));
    }
    o.port = *port;
  }
  if (o.wav_path && tone_option_given) {
    return make_error("--wav cannot be combined with --freq or --level");
  }
  return command;
}

}  // namespace brindle::send
