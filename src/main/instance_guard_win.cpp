#include <windows.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "main/background_start.h"
#include "main/hand_over_win.h"
#include "main/instance_guard.h"
#include "main/warning_dialog.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/wide_win.h"

namespace brindle {
namespace {

constexpr std::string_view INSTANCE_MUTEX_NAME = "Local\\BrindleReceiver";

// Set once on the main thread by ensure_single_instance. The handle is never closed: its
// existence is the guard, and the system drops it with the process.
HANDLE instance_guard = nullptr;
bool continued_copy = false;  // this process is the windowless copy

unsigned console_process_count() {
  std::array<DWORD, 4> ids{};
  return ::GetConsoleProcessList(ids.data(), static_cast<DWORD>(ids.size()));  // 0: no console
}

}  // namespace

void ensure_single_instance() {
  HandOverCheck hand_over = check_hand_over();
  continued_copy = hand_over.is_copy;
  const std::wstring name = wide(INSTANCE_MUTEX_NAME);
  // No handle at all (say, another kind of object holds the name) refuses the start too.
  const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name.c_str());
  const DWORD error = ::GetLastError();
  if (hand_over.is_copy) {
    // The copy of a login start. The first process holds the name until we answer, so an existing
    // mutex is the one handed to us; without a usable hand-over we stay silent and the first
    // process goes on by itself.
    if (!hand_over.handed || mutex == nullptr) std::exit(1);
    if (error == ERROR_ALREADY_EXISTS) {
      ::CloseHandle(mutex);
      instance_guard = hand_over.handed->guard;
    } else {
      ::CloseHandle(hand_over.handed->guard);  // not the named mutex after all
      instance_guard = mutex;
    }
    ::SetEvent(hand_over.handed->ready.get());
    return;
  }
  if (mutex != nullptr && error != ERROR_ALREADY_EXISTS) {
    instance_guard = mutex;
    return;
  }

  console::write_err(ALREADY_RUNNING_LINE);
  show_warning_dialog(DIALOG_TEXT);
  std::exit(1);
}

void hide_console() {
  if (const HWND window = ::GetConsoleWindow(); window != nullptr) ::ShowWindow(window, SW_HIDE);
}

bool enter_background() {
  switch (background_start(console_process_count(), continued_copy)) {
    case BackgroundStart::STAY:
      return false;
    case BackgroundStart::HIDE_CONSOLE:
      hide_console();
      return false;
    case BackgroundStart::CONTINUE_WITHOUT_CONSOLE: {
      hide_console();  // gone at once where the console host allows it
      // Should the copy not take over, the receiver goes on here, hidden as far as that goes.
      const Result<std::string> exe = executable_path();
      const CopyAnswer answer = exe ? hand_over_guard(wide(*exe), ::GetCommandLineW(),
                                                      instance_guard, HAND_OVER_TIME_LIMIT)
                                    : CopyAnswer::NOT_STARTED;
      return after_hand_over(answer) == AfterHandOver::END_HERE;
    }
  }
  return false;
}

}  // namespace brindle
