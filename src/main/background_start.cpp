#include "main/background_start.h"

namespace brindle {

BackgroundStart background_start(unsigned console_processes, bool continued) {
  if (continued || console_processes == 0) return BackgroundStart::STAY;
  // Alone on the console means the console was made for us (a login start) and closing its
  // window, which a terminal may not let us hide, would end the receiver.
  if (console_processes == 1) return BackgroundStart::CONTINUE_WITHOUT_CONSOLE;
  return BackgroundStart::HIDE_CONSOLE;
}

AfterHandOver after_hand_over(CopyAnswer answer) {
  switch (answer) {
    case CopyAnswer::HOLDS_GUARD:
      return AfterHandOver::END_HERE;
    case CopyAnswer::NO_ANSWER:
      return AfterHandOver::STOP_COPY_AND_GO_ON;
    case CopyAnswer::NOT_STARTED:
    case CopyAnswer::ENDED:
      break;
  }
  return AfterHandOver::GO_ON;
}

}  // namespace brindle
