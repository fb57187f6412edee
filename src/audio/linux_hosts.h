// The Linux sound-server hosts that the chooser (host_choice_linux.cpp) connects to.
#pragma once

#include <memory>
#include <string>

#include "audio/audio_host.h"

namespace brindle {

// Connects on first use; a failed connection is reported by every query.
std::unique_ptr<AudioHost> make_pulseaudio_host();

// What connecting to PipeWire came to; the chooser decides what follows.
struct PipeWireConnection {
  enum class State {
    CONNECTED,      // `host` is ready
    NO_DAEMON,      // no daemon accepted the connection
    DAEMON_FAILED,  // a daemon accepted it, then failed the first exchange
  };
  State state = State::NO_DAEMON;
  std::unique_ptr<AudioHost> host;
  std::string error;  // unless CONNECTED
};
PipeWireConnection connect_pipewire_host();

}  // namespace brindle
