// What the receiver gives back when it ends on purpose (the icon's Quit, WM_CLOSE to its window,
// and every end of orderly_end: Ctrl-C, the console closing, SIGTERM, ...), before the process
// goes. Only a kill ends it without these steps.
#pragma once

#include <functional>

namespace brindle {

// Any thread; kept until the process ends.
void at_receiver_end(std::function<void()> step);

// The steps so far, the latest first; each runs at most once.
void run_receiver_end_steps();

}  // namespace brindle
