#include <windows.h>

#include "platform/orderly_end.h"

namespace brindle {
namespace {

// The system's handler thread: the farewell first, then the default handler ends the process
// as before (FALSE passes the event on).
BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      run_farewell();
      break;
    default:
      break;
  }
  return FALSE;
}

}  // namespace

void watch_orderly_end() {
  ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

}  // namespace brindle
