// Turning a device query into an output device; the --list-devices and --check-device actions.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "audio/audio_host.h"
#include "platform/result.h"

namespace brindle {

inline constexpr std::string_view DEFAULT_DEVICE_QUERY = "CABLE Input (VB-Audio Virtual Cable)";

struct FoundDevice {
  std::unique_ptr<AudioDevice> device;
  std::string name;  // the device's own name, not the query
};

// "default" in any ASCII letter case: the query that follows the system default output.
bool is_default_query(std::string_view query);
Result<FoundDevice> find_output_device(AudioHost& host, std::string_view query);
bool check_device(AudioHost& host, std::string_view query);
// The whole listing text: header line and one bullet line per device.
std::string list_output_devices(AudioHost& host);

}  // namespace brindle
