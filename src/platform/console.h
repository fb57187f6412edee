// Whole lines of UTF-8 text to the standard streams. On an interactive Windows console the text
// goes through the wide-character interface so "—", "→", "×", "•" and "·" show; redirected
// streams get the UTF-8 bytes unchanged.
//
// At first each write happens at once and completely (the one-shot actions print all they have
// before the process ends). Once start_writer_thread() has run, writes are queued and a thread of
// the console's own writes them, so a console that blocks (a QuickEdit selection, a pipe nobody
// reads) or has gone never holds up the receiving, recovering or advertising threads: at worst
// the oldest waiting line is dropped.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string_view>

namespace brindle::console {

// Lines that may wait for a blocked console; beyond this the oldest goes.
inline constexpr size_t MAX_QUEUED_LINES = 256;

// Thread-safe: each call writes its text in one piece, in the order of the calls.
void write_out(std::string_view text);
void write_err(std::string_view text);
// A status line: standard output like write_out, but never logged.
void write_status(std::string_view text);

// Main thread, once, before other threads write. On POSIX a reader that goes away then makes
// writes fail instead of ending the process (SIGPIPE is ignored). Lines still queued when the
// process ends get a moment to be written.
void start_writer_thread();

// Any thread: waits until the queued lines are written, at most `limit` (for a process that is
// about to end without running its exit handlers).
void flush(std::chrono::milliseconds limit);

// Also hands the text of every write but status lines to `log`, on the thread that writes the
// console (the writer thread once started). An empty function ends the logging.
void set_log(std::function<void(std::string_view)> log);

}  // namespace brindle::console
