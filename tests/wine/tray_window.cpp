// Finds the background receiver's hidden window (class "BrindleReceiver") for the Wine suite.
//   wine_tray_window.exe find SECONDS   prints "hidden" or "visible" once the window exists
//   wine_tray_window.exe close SECONDS  also posts WM_CLOSE to it, as the installer does
//   wine_tray_window.exe restart SECONDS  first tells it Explorer's "TaskbarCreated" and a
//                                         settings change (as after a scale change), then closes
// Exits 0 when the window was found, 1 when none came within the given seconds.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/arguments.h"
#include "platform/console.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args = brindle::command_line_arguments(argc, argv);
  const bool restart = !args.empty() && args[0] == "restart";
  const bool close = restart || (!args.empty() && args[0] == "close");
  const int seconds = args.size() > 1 ? std::atoi(args[1].c_str()) : 30;
  for (int waited = 0; waited <= seconds * 10; ++waited) {
    const HWND window = ::FindWindowW(L"BrindleReceiver", nullptr);
    if (window != nullptr) {
      brindle::console::write_out(::IsWindowVisible(window) ? "visible\n" : "hidden\n");
      DWORD_PTR answer = 0;
      if (restart) {
        ::SendMessageTimeoutW(window, ::RegisterWindowMessageW(L"TaskbarCreated"), 0, 0,
                              SMTO_NORMAL, 5000, &answer);
        ::SendMessageTimeoutW(window, WM_SETTINGCHANGE, SPI_SETNONCLIENTMETRICS, 0, SMTO_NORMAL,
                              5000, &answer);
      }
      if (close) ::PostMessageW(window, WM_CLOSE, 0, 0);
      return 0;
    }
    ::Sleep(100);
  }
  return 1;
}
