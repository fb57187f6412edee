// What the receiver gives back when it ends on purpose (the icon's Quit, WM_CLOSE to its window),
// before the process goes. Ctrl-C, closing the console and a kill end it without these steps.
#pragma once

#include <functional>

namespace brindle {

// Any thread; kept until the process ends.
void at_receiver_end(std::function<void()> step);

// The steps so far, the latest first; each runs at most once.
void run_receiver_end_steps();

}  // namespace brindle
