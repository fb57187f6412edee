#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "discovery/machine_label.h"
#include "platform/utf8.h"

namespace brindle {
namespace {

std::optional<std::string> valid_text(const char* value) {
  if (value == nullptr) return std::nullopt;
  const std::string text(value);
  if (utf8::sanitize(text) != text) return std::nullopt;
  return text;
}

std::optional<std::string> system_host_name() {
  char buffer[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) return std::nullopt;
  return valid_text(buffer);
}

}  // namespace

MachineNameSources read_machine_name_sources() {
  MachineNameSources sources;
  sources.computer_name = valid_text(std::getenv("COMPUTERNAME"));
  const char* const host = std::getenv("HOSTNAME");
  // Shells rarely export HOSTNAME, so the kernel's name stands in for it.
  sources.host_name = host != nullptr ? valid_text(host) : system_host_name();
  return sources;
}

}  // namespace brindle
