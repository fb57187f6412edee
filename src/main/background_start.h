// How --background gets the console out of sight.
#pragma once

namespace brindle {

enum class BackgroundStart {
  STAY,                      // nothing to hide: no console, or already the windowless copy
  HIDE_CONSOLE,              // the console is shared with a shell: hide its window
  CONTINUE_WITHOUT_CONSOLE,  // our own console (a login start): go on in a windowless copy
};

// `console_processes` is how many processes share this process's console (0: none);
// `continued` says that this process is already the windowless copy.
BackgroundStart background_start(unsigned console_processes, bool continued);

}  // namespace brindle
