#include <string>

#include "main/autostart_store.h"
#include "platform/command_line_quote.h"
#include "platform/utf8.h"

namespace brindle {
namespace {

bool is_absolute(const char* path) {
  return path != nullptr && path[0] == '/';
}

std::string without_trailing_slashes(std::string path) {
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::optional<std::string> autostart_entry_path(const char* xdg_config_home, const char* home) {
  std::string config;
  if (is_absolute(xdg_config_home)) {
    config = without_trailing_slashes(xdg_config_home);
  } else if (is_absolute(home)) {
    config = without_trailing_slashes(home) + "/.config";
  } else {
    return std::nullopt;
  }
  return config + "/autostart/" + std::string(AUTOSTART_ENTRY_NAME);
}

std::string desktop_entry_text(std::string_view command) {
  // The stored command is in the Windows form; the Exec line must start the same arguments.
  std::string exec;
  for (const std::string& argument : split_windows_command_line(command)) {
    if (!exec.empty()) exec += ' ';
    exec += quote_desktop_exec_argument(argument);
  }
  // Entries are UTF-8 text, whatever bytes the arguments held.
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Brindle Receiver\n"
         "Exec=" +
         utf8::sanitize(exec) +
         "\n"
         "Terminal=false\n";
}

}  // namespace brindle
