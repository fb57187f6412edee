#include "send_options.h"

#include <charconv>
#include <cmath>
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

    // Each option: how to store its value, or the message when the value does not fit.
    const auto count_option = [&](uint64_t& field, uint64_t min) -> std::optional<std::string> {
      const auto n = parse_unsigned<uint64_t>(value);
      if (!n || *n < min) return fmt::format("{} needs a whole number of at least {}", arg, min);
      field = *n;
      return std::nullopt;
    };

    std::optional<std::string> problem;
    if (arg == "--freq" || arg == "--level") tone_option_given = true;
    if (arg == "--freq") {
      const auto f = parse_number(value);
      if (!f || *f <= 0.0 || *f >= 24000.0) {
        problem = "--freq needs a frequency in Hz above 0 and below 24000";
      } else {
        o.freq_hz = *f;
      }
    } else if (arg == "--level") {
      const auto level = parse_number(value);
      if (!level || *level < 0.0 || *level > 1.0) {
        problem = "--level needs a linear amplitude from 0 to 1";
      } else {
        o.level = *level;
      }
    } else if (arg == "--wav") {
      o.wav_path = std::string(value);
    } else if (arg == "--duration") {
      const auto d = parse_number(value);
      // A day is far beyond any test, and keeps sample counts far from overflow.
      if (!d || *d <= 0.0 || *d > 86400.0) {
        problem = "--duration needs a number of seconds above 0 (at most 86400)";
      } else {
        o.duration_s = *d;
      }
    } else if (arg == "--count") {
      uint64_t n = 0;
      problem = count_option(n, 1);
      if (!problem) o.count = n;
    } else if (arg == "--samples") {
      const auto n = parse_unsigned<uint32_t>(value);
      if (!n || *n < 1 || *n > MAX_SAMPLES) {
        problem = fmt::format("--samples needs a whole number from 1 to {}", MAX_SAMPLES);
      } else {
        o.samples = *n;
      }
    } else if (arg == "--seq-start") {
      const auto n = parse_unsigned<uint32_t>(value);
      if (!n) {
        problem = "--seq-start needs a whole number from 0 to 4294967295";
      } else {
        o.seq_start = *n;
      }
    } else if (arg == "--drop-every") {
      problem = count_option(o.drop_every, 0);
    } else if (arg == "--duplicate-every") {
      problem = count_option(o.duplicate_every, 0);
    } else if (arg == "--reorder-every") {
      problem = count_option(o.reorder_every, 0);
    } else if (arg == "--burst") {
      problem = count_option(o.burst, 1);
    } else {
      return make_error(fmt::format("unknown option: {}", arg));
    }
    if (problem) return make_error(*problem);
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
