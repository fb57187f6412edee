// One receiver per login session, and the background mode used by run-at-login.
#pragma once

namespace brindle {

// Returns when this is the only instance; otherwise reports and ends the process with status 1.
void ensure_single_instance();

// Hides the console window where there is one; cannot fail.
void hide_console();

}  // namespace brindle
