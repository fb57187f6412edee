#include "main/background_start.h"

namespace brindle {

BackgroundStart background_start(unsigned console_processes, bool continued) {
  if (continued || console_processes == 0) return BackgroundStart::STAY;
  // Alone on the console means the console was made for us (a login start) and closing its
  // window, which a terminal may not let us hide, would end the receiver.
  if (console_processes == 1) return BackgroundStart::CONTINUE_WITHOUT_CONSOLE;
  return BackgroundStart::HIDE_CONSOLE;
}

}  // namespace brindle
