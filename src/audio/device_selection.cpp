#include "audio/device_selection.h"

#include <fmt/format.h>

#include <optional>
#include <vector>

#include "platform/unicode_lower.h"

namespace brindle {
namespace {

constexpr std::string_view DOWNLOAD_PAGE = "https://vb-audio.com/Cable/";

}  // namespace

// Nothing but "default": no trimming, no other folding.
bool is_default_query(std::string_view query) {
  constexpr std::string_view WORD = "default";
  if (query.size() != WORD.size()) return false;
  for (size_t i = 0; i < WORD.size(); ++i) {
    char c = query[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    if (c != WORD[i]) return false;
  }
  return true;
}

Result<FoundDevice> find_output_device(AudioHost& host, std::string_view query) {
  if (is_default_query(query)) {
    std::unique_ptr<AudioDevice> device = host.default_output_device();
    if (!device) return make_error("no default output device");
    Result<std::string> name = device->name();
    return FoundDevice{std::move(device), name ? std::move(name).value() : std::string("default")};
  }

  const std::string needle = unicode_lower(query);
  Result<std::vector<std::unique_ptr<AudioDevice>>> devices = host.output_devices();
  if (!devices) return make_error("cannot enumerate output devices: " + devices.error());
  for (std::unique_ptr<AudioDevice>& device : *devices) {
    Result<std::string> name = device->name();
    if (!name) continue;
    if (unicode_lower(*name).find(needle) != std::string::npos) {
      return FoundDevice{std::move(device), std::move(name).value()};
    }
  }
  return make_error(fmt::format(
      "no output device matching \"{}\". Run with --list-devices to see what's available.\n"
      "For W0 install VB-CABLE ({}); for W1 install the Brindle driver.",
      query, DOWNLOAD_PAGE));
}

bool check_device(AudioHost& host, std::string_view query) {
  return find_output_device(host, query).ok();
}

std::string list_output_devices(AudioHost& host) {
  std::optional<std::string> default_name;
  if (const std::unique_ptr<AudioDevice> device = host.default_output_device()) {
    if (Result<std::string> name = device->name()) default_name = std::move(name).value();
  }

  std::string out = fmt::format("Output devices ({}):\n", host.name());
  Result<std::vector<std::unique_ptr<AudioDevice>>> devices = host.output_devices();
  if (!devices) {
    out += fmt::format("  (could not enumerate: {})\n", devices.error());
    return out;
  }
  for (const std::unique_ptr<AudioDevice>& device : *devices) {
    const Result<std::string> name = device->name();
    const std::string shown = name ? *name : std::string("<unknown>");
    const bool is_default = default_name && shown == *default_name;
    out += fmt::format("  \u2022 {}{}\n", shown, is_default ? "  (default)" : "");
  }
  return out;
}

}  // namespace brindle
