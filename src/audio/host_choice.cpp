#include "audio/host_choice.h"

#include <string_view>

namespace brindle {
namespace {

bool set(const std::optional<std::string>& value) {
  return value && !value->empty();
}

// Whether a PULSE_SERVER address is a local socket inside `dir`.
bool socket_inside(std::string_view server, std::string_view dir) {
  if (server.substr(0, 5) == "unix:") server.remove_prefix(5);
  if (server.empty() || server.front() != '/') return false;
  while (dir.size() > 1 && dir.back() == '/') dir.remove_suffix(1);
  return server.size() > dir.size() + 1 && server.substr(0, dir.size()) == dir &&
         server[dir.size()] == '/';
}

}  // namespace

Result<HostPlan> plan_audio_host(const HostEnvironment& env) {
  if (set(env.forced)) {
    if (*env.forced == "pipewire") return HostPlan::PIPEWIRE_ONLY;
    if (*env.forced == "pulseaudio") return HostPlan::PULSEAUDIO_ONLY;
    return make_error(std::string(AUDIO_HOST_ENV) + "=" + *env.forced +
                      ": the audio host must be \"pipewire\" or \"pulseaudio\"");
  }
  if (!set(env.pulse_server)) return HostPlan::PIPEWIRE_THEN_PULSEAUDIO;
  // PipeWire's socket: PIPEWIRE_REMOTE when that is a path, else a name in the runtime folder.
  std::optional<std::string> runtime =
      set(env.pipewire_runtime_dir) ? env.pipewire_runtime_dir : env.xdg_runtime_dir;
  if (set(env.pipewire_remote) && env.pipewire_remote->front() == '/') {
    runtime = env.pipewire_remote->substr(0, env.pipewire_remote->rfind('/'));
  }
  if (set(runtime) && socket_inside(*env.pulse_server, *runtime)) {
    return HostPlan::PIPEWIRE_THEN_PULSEAUDIO;
  }
  return HostPlan::PULSEAUDIO_ONLY;
}

}  // namespace brindle
