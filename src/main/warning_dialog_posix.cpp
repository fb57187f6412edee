// The first dialog helper that starts shows the warning and returns when it is closed. Without a
// graphical session nothing is tried, so a headless start never waits.
#include <array>
#include <cstdlib>
#include <string>

#include "main/instance_guard.h"
#include "main/warning_dialog.h"
#include "platform/process.h"

namespace brindle {
namespace {

bool has_graphical_session() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* const value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return true;
  }
  return false;
}

}  // namespace

void show_warning_dialog(std::string_view message) {
  if (!has_graphical_session()) return;
  const std::string caption(DIALOG_CAPTION);
  const std::string text(message);
  const std::array<std::string, 4> zenity = {"--warning", "--title=" + caption, "--no-markup",
                                             "--text=" + text};
  const std::array<std::string, 4> kdialog = {"--title", caption, "--sorry", text};
  const std::array<std::string, 6> xmessage = {"-title",   caption, "-center",
                                               "-buttons", "OK",    text};
  if (run_process("zenity", zenity)) return;
  if (run_process("kdialog", kdialog)) return;
  (void)run_process("xmessage", xmessage);
}

}  // namespace brindle
