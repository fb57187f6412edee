#include <windows.h>

#include <cstdlib>

#include "main/instance_guard.h"
#include "platform/console.h"
#include "platform/utf8.h"

namespace brindle {
namespace {

constexpr std::string_view INSTANCE_MUTEX_NAME = "Local\\BrindleReceiver";

std::wstring wide(std::string_view text) {
  const std::u16string units = utf8::to_utf16(text);
  return std::wstring(units.begin(), units.end());
}

}  // namespace

void ensure_single_instance() {
  const std::wstring name = wide(INSTANCE_MUTEX_NAME);
  // The handle is never closed: its existence is the guard, and the system drops it with the
  // process. No handle at all (say, another kind of object holds the name) refuses the start too.
  const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name.c_str());
  const DWORD error = ::GetLastError();
  if (mutex != nullptr && error != ERROR_ALREADY_EXISTS) return;

  console::write_err(ALREADY_RUNNING_LINE);
  const std::wstring text = wide(DIALOG_TEXT);
  const std::wstring caption = wide(DIALOG_CAPTION);
  ::MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONWARNING);
  std::exit(1);
}

void hide_console() {
  if (const HWND window = ::GetConsoleWindow(); window != nullptr) ::ShowWindow(window, SW_HIDE);
}

}  // namespace brindle
