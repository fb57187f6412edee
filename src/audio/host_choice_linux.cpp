// Linux's default host: PipeWire natively when its daemon answers, PulseAudio otherwise.
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "audio/host_choice.h"
#include "audio/linux_hosts.h"
#include "audio/unavailable_host.h"

namespace brindle {
namespace {

std::optional<std::string> env(const char* name) {
  const char* value = std::getenv(name);
  if (!value) return std::nullopt;
  return std::string(value);
}

}  // namespace

std::unique_ptr<AudioHost> default_host() {
  const Result<HostPlan> plan =
      plan_audio_host({env(AUDIO_HOST_ENV), env("PULSE_SERVER"), env("PIPEWIRE_REMOTE"),
                       env("PIPEWIRE_RUNTIME_DIR"), env("XDG_RUNTIME_DIR")});
  if (!plan) return make_unavailable_host("none", plan.error());
  if (*plan == HostPlan::PULSEAUDIO_ONLY) return make_pulseaudio_host();
  PipeWireConnection pipewire = connect_pipewire_host();
  switch (pipewire.state) {
    case PipeWireConnection::State::CONNECTED:
      return std::move(pipewire.host);
    // The daemon answered: its failure is the host's to report, not a reason to leave it.
    case PipeWireConnection::State::DAEMON_FAILED:
      return make_unavailable_host("PipeWire", std::move(pipewire.error));
    case PipeWireConnection::State::NO_DAEMON:
      break;
  }
  if (*plan == HostPlan::PIPEWIRE_ONLY) {
    return make_unavailable_host("PipeWire", std::move(pipewire.error));
  }
  return make_pulseaudio_host();
}

}  // namespace brindle
