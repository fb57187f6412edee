// The machine's name as one DNS label: the DNS-SD instance name and the host name's first label.
#pragma once

#include <optional>
#include <string>

namespace brindle {

inline constexpr char FALLBACK_HOST_NAME[] = "Brindle-PC";

// The two sources of the machine name, each present only when set and valid Unicode (UTF-8).
struct MachineNameSources {
  std::optional<std::string> computer_name;  // "COMPUTERNAME"
  std::optional<std::string> host_name;      // "HOSTNAME"; on Linux gethostname() when unset
};

// Reads the sources from the environment (and, where the platform has one, the host name).
MachineNameSources read_machine_name_sources();

// The first source that is present (even when empty), cut at its first ".", with every
// character other than an ASCII letter or digit turned into one "-"; "Brindle-PC" when that
// leaves nothing. Nothing is merged, trimmed or shortened.
std::string machine_label(const std::optional<std::string>& computer_name,
                          const std::optional<std::string>& host_name);

}  // namespace brindle
