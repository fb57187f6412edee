// One receiver per login session, and the background mode used by run-at-login.
#pragma once

#include <string_view>

namespace brindle {

// What a refused second start says, on the console and in the warning dialog.
inline constexpr std::string_view ALREADY_RUNNING_LINE =
    "Brindle Receiver is already running — not starting a second instance.\n";
inline constexpr std::string_view DIALOG_CAPTION = "Brindle Receiver";
inline constexpr std::string_view DIALOG_TEXT =
    "Brindle Receiver is already running.\n\nIt may have been started at login (autostart). "
    "There is nothing else to launch — just use it.";

// Returns when this is the only instance; otherwise reports and ends the process with status 1.
void ensure_single_instance();

// Hides the console window where there is one; cannot fail.
void hide_console();

}  // namespace brindle
