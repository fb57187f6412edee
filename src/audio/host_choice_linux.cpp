// The POSIX default host: PipeWire natively when its daemon answers, PulseAudio otherwise.
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "audio/host_choice.h"
#include "audio/posix_hosts.h"

namespace brindle {
namespace {

std::optional<std::string> env(const char* name) {
  const char* value = std::getenv(name);
  if (!value) return std::nullopt;
  return std::string(value);
}

class UnavailableHost final : public AudioHost {
 public:
  UnavailableHost(std::string name, std::string error)
      : name_(std::move(name)), error_(std::move(error)) {}
  std::string name() const override { return name_; }
  std::unique_ptr<AudioDevice> default_output_device() override { return nullptr; }
  Result<std::vector<std::unique_ptr<AudioDevice>>> output_devices() override {
    return make_error(error_);
  }

 private:
  const std::string name_;
  const std::string error_;
};

}  // namespace

std::unique_ptr<AudioHost> make_unavailable_host(std::string name, std::string error) {
  return std::make_unique<UnavailableHost>(std::move(name), std::move(error));
}

std::unique_ptr<AudioHost> default_host() {
  const Result<HostPlan> plan =
      plan_audio_host({env(AUDIO_HOST_ENV), env("PULSE_SERVER"), env("PIPEWIRE_REMOTE"),
                       env("PIPEWIRE_RUNTIME_DIR"), env("XDG_RUNTIME_DIR")});
  if (!plan) return make_unavailable_host("none", plan.error());
  if (*plan == HostPlan::PULSEAUDIO_ONLY) return make_pulse_host();
  Result<std::unique_ptr<AudioHost>> pipewire = connect_pipewire_host();
  if (pipewire) return std::move(pipewire).value();
  if (*plan == HostPlan::PIPEWIRE_ONLY) return make_unavailable_host("PipeWire", pipewire.error());
  return make_pulse_host();
}

}  // namespace brindle
