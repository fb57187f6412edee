// Entry point: parse the command line, run a one-shot action, or bring the receiver up in its
// fixed order and hand the main thread to the status line.
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "audio/device_selection.h"
#include "audio/output_supervisor.h"
#include "discovery/advertisement.h"
#include "jitter/jitter_buffer.h"
#include "main/autostart.h"
#include "main/instance_guard.h"
#include "main/options.h"
#include "main/receiver_end.h"
#include "main/receiver_log.h"
#include "main/startup_failure.h"
#include "main/status_line.h"
#include "main/tray_icon.h"
#include "main/warning_dialog.h"
#include "main/wifi_scan_hold.h"
#include "platform/arguments.h"
#include "platform/console.h"
#include "receiver/receiver.h"
#include "receiver/udp_socket.h"

namespace brindle {
namespace {

static_assert(ADVERTISED_PORT == UDP_PORT, "the advertised port is the one the receiver binds");

constexpr std::string_view TITLE_LINE = "Brindle receiver — iPhone → Windows  (Ctrl-C to quit)\n";

int run_action(const ShowHelp&) {
  console::write_out(HELP_TEXT);
  return 0;
}

int run_action(const ListDevices&) {
  const std::unique_ptr<AudioHost> host = default_host();
  console::write_out(list_output_devices(*host));
  return 0;
}

int run_action(const CheckDevice& check) {
  const std::unique_ptr<AudioHost> host = default_host();
  const bool found = check_device(*host, check.name);
  console::write_out(check.name + (found ? ": found\n" : ": not found\n"));
  return found ? 0 : 1;
}

int run_action(const UsageError& usage) {
  console::write_err(usage.message);
  if (usage.with_help) console::write_out(HELP_TEXT);
  return 2;
}

// Writes a start-up failure where this run's user sees it; the exit status.
int fail(const Options& options, std::string_view err_text) {
  return report_startup_failure(err_text, options.background,
                                {console::write_err, show_warning_dialog});
}

// A login start: the log instead of the hidden console, and the icon (Windows); null for a
// receiver in a console.
std::shared_ptr<TrayIcon> show_in_background(const Options& options) {
  if (!options.background) return nullptr;
  console::set_log(open_receiver_log());
  return start_tray_icon(options);
}

// Kept until the process ends: reopens the output after a stream error, rests it when idle.
Result<std::shared_ptr<OutputSupervisor>> start_output(const Options& options,
                                                       std::shared_ptr<JitterBuffer> jitter,
                                                       std::shared_ptr<TrayIcon> tray) {
  auto output = std::make_shared<OutputSupervisor>(
      default_host, options.device, std::move(jitter),
      OutputSupervisor::Settings{.write_out = console::write_out,
                                 .write_err = console::write_err,
                                 .output_changed = [tray](bool available) {
                                   if (tray) tray->output_changed(available);
                                 }});
  const Result<std::string> rendering = output->start();
  if (!rendering) return make_error("\naudio: " + rendering.error() + "\n");
  console::write_out(*rendering);
  return output;
}

Receiver make_receiver(const Options& options, std::shared_ptr<JitterBuffer> jitter,
                       std::shared_ptr<OutputSupervisor> output) {
  Receiver receiver(std::move(jitter), options.gain);
  receiver.set_datagram_hook([output = std::move(output)] { output->datagram_arrived(); });
  if (options.gain != 1.0f)
    console::write_out(fmt::format("→ output gain {:.1f}×\n", options.gain));
  return receiver;
}

// Binds the port and hands it to the receiver's own thread, never joined.
Status start_receive_thread(Receiver receiver) {
  Result<UdpSocket> socket = bind_socket(UDP_PORT);
  if (!socket) {
    return make_error(fmt::format("could not bind UDP {}: {}\n", UDP_PORT, socket.error()));
  }
  console::write_out(fmt::format("→ listening on UDP {}\n", UDP_PORT));
  try {
    std::thread([receiver = std::move(receiver), socket = std::move(socket).value()]() mutable {
      receiver.run(std::move(socket), [] { return bind_socket(UDP_PORT); });
    }).detach();
  } catch (const std::system_error& error) {
    return make_error(fmt::format("could not start the receiver thread: {}\n", error.what()));
  }
  return {};
}

// Also told later, from the responder's thread, when the network comes up after the start.
std::optional<MdnsAdvertisement> advertise(const Options& options) {
  if (options.no_mdns) return std::nullopt;
  return advertise_mdns(AdvertisementNotices{
      [](const std::string& label) {
        console::write_out(fmt::format("→ advertised _brindle._udp as \"{}\"\n", label));
      },
      [](const std::string& error) {
        console::write_err(fmt::format(
            "mDNS advertise failed ({}); discovery off — UDP still works if the phone already "
            "knows the IP\n",
            error));
      }});
}

// From the single-instance guard on; returns only on a start-up failure, or when a login start
// handed the receiver over to its windowless copy.
int start_receiver(const Options& options) {
  console::start_writer_thread();  // from here on no thread waits for the console
  ensure_single_instance();
  if (options.background && enter_background()) return 0;
  const std::shared_ptr<TrayIcon> tray = show_in_background(options);

  console::write_out(TITLE_LINE);
  const auto jitter = std::make_shared<JitterBuffer>(options.prefill_ms);
  const Result<std::shared_ptr<OutputSupervisor>> output = start_output(options, jitter, tray);
  if (!output) return fail(options, output.error());

  Receiver receiver = make_receiver(options, jitter, *output);
  const std::shared_ptr<ReceiverStats> stats = receiver.stats();
  if (const Status started = start_receive_thread(std::move(receiver)); !started) {
    return fail(options, started.error());
  }
  const std::optional<MdnsAdvertisement> advertisement = advertise(options);
  const std::shared_ptr<StreamingWifi> wifi = start_streaming_wifi();
  if (wifi) at_receiver_end([wifi] { wifi->release(); });

  console::write_out("\n");
  status_loop(jitter, stats, [tray, wifi](StreamState state, const StatusFigures& figures) {
    if (tray) tray->show(state, figures.sender);
    if (wifi) wifi->stream_playing(state == StreamState::STREAMING);
  });
}

int run(const std::vector<std::string>& arguments) {
  const Command command = parse_options(arguments);
  if (const auto* options = std::get_if<Options>(&command)) {
    if (options->autostart) return set_autostart(*options);
    return start_receiver(*options);
  }
  return std::visit(
      [](const auto& action) -> int {
        if constexpr (std::is_same_v<std::decay_t<decltype(action)>, Options>) {
          return 0;  // handled above
        } else {
          return run_action(action);
        }
      },
      command);
}

}  // namespace
}  // namespace brindle

int main(int argc, char** argv) {
  return brindle::run(brindle::command_line_arguments(argc, argv));
}
