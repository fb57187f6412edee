// An orderly end: Ctrl-C, Ctrl-Break, the console closing, logoff and shutdown (Windows), SIGINT,
// SIGTERM and SIGHUP (POSIX), or the icon's Quit. The farewell runs first, for a bounded time;
// then the process ends exactly as the system would have ended it.
#pragma once

#include <chrono>
#include <functional>

namespace brindle {

// How long an end waits for the farewell before going on without it.
inline constexpr auto FAREWELL_LIMIT = std::chrono::milliseconds(500);

// Main thread, before it starts any other thread (POSIX: every later thread inherits the blocked
// signals, so only the watching thread takes them). Until a farewell is set, an end is immediate.
void watch_orderly_end();

// Any thread: what an end does first; replaces the previous one.
void set_farewell(std::function<void()> farewell);

// Any thread: runs the farewell once, waiting for it at most FAREWELL_LIMIT; a second caller
// waits for the first one's run.
void run_farewell();

}  // namespace brindle
