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

// The background mode of --background. Where this process is the only one on its console (a
// login start), a terminal window cannot be hidden reliably, so the receiver goes on in a copy of
// this process that has no console window at all and takes over the instance guard; once the copy
// has said that it holds the guard the result is true and this process is to end with status 0.
// Otherwise (no copy, or none that answered in time) it hides the console (or does nothing without
// one) and returns false: this process is the receiver.
bool enter_background();

}  // namespace brindle
