// What the icon's menu does, apart from the window that shows it. Windows files only.
#pragma once

#include <optional>

#include "main/options.h"
#include "main/tray_text.h"

namespace brindle {

// Whether the Run value starts this very program.
bool starts_at_login();

// Worker thread: the same registration as --autostart on|off, with this run's options; the
// balloon to show when it failed.
std::optional<TrayBalloon> change_login_start(bool on, const Options& options);

// Worker thread: the log in the user's editor for .log files; the balloon to show when it could
// not be opened.
std::optional<TrayBalloon> open_log();

// Quit and WM_CLOSE end here, after the icon is removed: the steps of at_receiver_end run, then
// the receiver ends as the system would end it (nothing joined), with status 0, and the instance
// guard goes with the process. The log gets its last lines first, unless the console holds them
// up.
[[noreturn]] void end_receiver();

}  // namespace brindle
