// How --background gets the console out of sight.
#pragma once

#include <chrono>

namespace brindle {

enum class BackgroundStart {
  STAY,                      // nothing to hide: no console, or already the windowless copy
  HIDE_CONSOLE,              // the console is shared with a shell: hide its window
  CONTINUE_WITHOUT_CONSOLE,  // our own console (a login start): go on in a windowless copy
};

// `console_processes` is how many processes share this process's console (0: none);
// `continued` says that this process is already the windowless copy.
BackgroundStart background_start(unsigned console_processes, bool continued);

// How long a login start waits for its windowless copy to say that it holds the instance guard.
inline constexpr std::chrono::seconds HAND_OVER_TIME_LIMIT{15};

// What the first process of a login start heard from its windowless copy.
enum class CopyAnswer {
  NOT_STARTED,  // the copy could not be started
  HOLDS_GUARD,  // the copy took over the instance guard
  ENDED,        // the copy ended without taking it
  NO_ANSWER,    // the copy still runs but did not take it within the time limit
};

enum class AfterHandOver {
  END_HERE,             // the copy is the receiver: this process ends with status 0
  GO_ON,                // this process goes on as the receiver, its console hidden
  STOP_COPY_AND_GO_ON,  // the same, once the late copy is stopped (it must never take over)
};

AfterHandOver after_hand_over(CopyAnswer answer);

}  // namespace brindle
