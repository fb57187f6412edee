// A host that only reports why there is no sound server to talk to.
#pragma once

#include <memory>
#include <string>

#include "audio/audio_host.h"

namespace brindle {

// Lists no devices and fails every listing with `error`.
std::unique_ptr<AudioHost> make_unavailable_host(std::string name, std::string error);

}  // namespace brindle
