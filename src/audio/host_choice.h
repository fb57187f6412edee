// Which sound server the receiver talks to on Linux, decided from the environment alone so the
// choice is quick and testable: PipeWire when its daemon answers, PulseAudio otherwise.
#pragma once

#include <optional>
#include <string>

#include "platform/result.h"

namespace brindle {

// Environment variable that forces a host: "pipewire" or "pulseaudio".
inline constexpr const char* AUDIO_HOST_ENV = "BRINDLE_AUDIO_HOST";

enum class HostPlan {
  PIPEWIRE_ONLY,             // forced
  PULSEAUDIO_ONLY,           // forced, or a PulseAudio server named that PipeWire is not behind
  PIPEWIRE_THEN_PULSEAUDIO,  // PipeWire if a daemon accepts the connection
};

// What the choice reads; unset variables are nullopt.
struct HostEnvironment {
  std::optional<std::string> forced;                // BRINDLE_AUDIO_HOST
  std::optional<std::string> pulse_server;          // PULSE_SERVER
  std::optional<std::string> pipewire_remote;       // PIPEWIRE_REMOTE
  std::optional<std::string> pipewire_runtime_dir;  // PIPEWIRE_RUNTIME_DIR
  std::optional<std::string> xdg_runtime_dir;       // XDG_RUNTIME_DIR
};

// A PULSE_SERVER outside the folder of PipeWire's socket is a PulseAudio of its own (a test's
// private server, a remote one): it is used as named and no PipeWire daemon is asked. A
// PULSE_SERVER in that folder is pipewire-pulse's socket or a PulseAudio in its place; PipeWire
// is asked first.
Result<HostPlan> plan_audio_host(const HostEnvironment& env);

}  // namespace brindle
