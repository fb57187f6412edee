// Ctrl-C ends the run cleanly, so the summary line is still printed.
#pragma once

namespace brindle::send {

void install_stop_handler();
bool stop_requested();

}  // namespace brindle::send
