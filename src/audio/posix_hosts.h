// The Linux sound-server hosts that default_host() chooses between.
#pragma once

#include <memory>

#include "audio/audio_host.h"
#include "platform/result.h"

namespace brindle {

// How either sound server's mixer shows this program and its stream.
inline constexpr const char* APPLICATION_NAME = "Brindle receiver";
inline constexpr const char* STREAM_NAME = "Phone microphone";

// Connects on first use; a failed connection is reported by every query.
std::unique_ptr<AudioHost> make_pulse_host();
// Fails when no PipeWire daemon accepts the connection.
Result<std::unique_ptr<AudioHost>> connect_pipewire_host();
// A host that only reports `error`, for a choice that could not be made.
std::unique_ptr<AudioHost> make_unavailable_host(std::string name, std::string error);

}  // namespace brindle
