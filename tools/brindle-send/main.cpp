// brindle-send: plays the phone. Sends audio datagrams in real time to a receiver.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "datagram.h"
#include "fine_timer.h"
#include "impairments.h"
#include "pacing.h"
#include "platform/arguments.h"
#include "platform/console.h"
#include "send_options.h"
#include "signal_source.h"
#include "stop_signal.h"
#include "udp_sender.h"

namespace brindle::send {
namespace {

constexpr int EXIT_RUNTIME = 1;
constexpr int EXIT_USAGE = 2;

void fail(std::string_view message) {
  console::write_err(fmt::format("brindle-send: {}\n", message));
}

struct PreparedSource {
  std::unique_ptr<SignalSource> source;
  std::string description;
  uint64_t samples = UINT64_MAX;  // how many it will deliver; UINT64_MAX when endless
};

Result<PreparedSource> make_source(const SendOptions& o) {
  PreparedSource prepared;
  if (o.wav_path) {
    auto samples = load_wav(*o.wav_path);
    if (!samples) return make_error(samples.error());
    prepared.samples = samples->size();
    prepared.description =
        fmt::format("{} ({:.2f} s)", *o.wav_path, static_cast<double>(samples->size()) / SEND_RATE);
    prepared.source = std::make_unique<BufferSource>(std::move(samples).value());
  } else {
    prepared.description = fmt::format("{:g} Hz tone at level {:g}", o.freq_hz, o.level);
    prepared.source = std::make_unique<ToneSource>(o.freq_hz, o.level);
  }
  if (o.duration_s) {
    const auto limit = static_cast<uint64_t>(std::llround(*o.duration_s * SEND_RATE));
    prepared.samples = std::min(prepared.samples, limit);
    prepared.source = std::make_unique<LimitedSource>(std::move(prepared.source), limit);
  }
  return prepared;
}

// How many datagrams the run will make, when that is known in advance.
uint64_t planned_datagrams(const SendOptions& o, uint64_t samples) {
  uint64_t datagrams = samples == UINT64_MAX ? UINT64_MAX : (samples + o.samples - 1) / o.samples;
  if (o.count) datagrams = std::min(datagrams, *o.count);
  return datagrams;
}

int run(const SendOptions& o) {
  auto prepared = make_source(o);
  if (!prepared) {
    fail(prepared.error());
    return EXIT_RUNTIME;
  }
  SignalSource& source = *prepared->source;
  auto sender = UdpSender::open(o.host, o.port);
  if (!sender) {
    fail(sender.error());
    return EXIT_RUNTIME;
  }
  console::write_out(fmt::format("brindle-send: {} to {}, {} samples per datagram\n",
                                 prepared->description, sender->destination(), o.samples));

  install_stop_handler();
  const FineTimer fine_timer;
  const uint64_t total = planned_datagrams(o, prepared->samples);
  const Pacing pacing(o.samples, o.burst);
  Impairments impairments(o.drop_every, o.duplicate_every, o.reorder_every);
  std::vector<int16_t> block(o.samples);
  std::vector<Datagram> out;
  uint64_t made = 0;
  uint64_t sent = 0;
  uint64_t failed = 0;
  std::string last_failure;

  const auto transmit = [&] {
    for (const Datagram& d : out) {
      const Status status = sender->send(d);
      if (status) {
        ++sent;
      } else {
        // Report each new error once; a stream of identical ones would bury the summary.
        if (status.error() != last_failure) fail(fmt::format("send failed: {}", status.error()));
        last_failure = status.error();
        ++failed;
      }
    }
    out.clear();
  };

  const auto start = std::chrono::steady_clock::now();
  while (!stop_requested() && (!o.count || made < *o.count)) {
    const size_t n = source.read(block);
    if (n == 0) break;
    Datagram datagram =
        encode_datagram(o.seq_start + static_cast<uint32_t>(made), std::span(block).first(n));
    std::this_thread::sleep_until(start + pacing.send_offset(made, total));
    ++made;
    impairments.submit(made, std::move(datagram), out);
    transmit();
  }
  impairments.flush(out);
  transmit();

  const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
  const ImpairmentCounts& c = impairments.counts();
  console::write_out(fmt::format(
      "brindle-send: sent {} datagrams ({} made) in {:.2f} s: dropped {}, duplicated {}, "
      "reordered {}{}\n",
      sent, made, elapsed.count(), c.dropped, c.duplicated, c.reordered,
      failed ? fmt::format(", failed {}", failed) : std::string()));
  return failed ? EXIT_RUNTIME : 0;
}

}  // namespace
}  // namespace brindle::send

int main(int argc, char** argv) {
  using namespace brindle;
  const auto parsed = send::parse_send_options(command_line_arguments(argc, argv));
  if (!parsed) {
    console::write_err(
        fmt::format("brindle-send: {}\nTry 'brindle-send --help'.\n", parsed.error()));
    return send::EXIT_USAGE;
  }
  if (parsed->show_help) {
    console::write_out(send::SEND_HELP_TEXT);
    return 0;
  }
  return send::run(parsed->options);
}
