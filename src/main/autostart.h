// Run-at-login registration.
#pragma once

#include <string>
#include <string_view>

#include "main/options.h"

namespace brindle {

// The command line stored for the login start: quoted path, " --background", then the options
// that differ from their defaults.
std::string autostart_command(std::string_view exe_path, const Options& options);

// Registers or removes the entry, writes its line and returns the exit status (0 or 1).
int set_autostart(const Options& options);

}  // namespace brindle
