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
#include "main/instance_guard.h"
#include "main/warning_dialog.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/utf8.h"

namespace brindle {
namespace {

constexpr std::string_view INSTANCE_MUTEX_NAME = "Local\\BrindleReceiver";
// Names the inherited guard handle in the windowless copy that a login start hands over to.
constexpr const wchar_t* HANDOVER_VARIABLE = L"BRINDLE_INSTANCE_GUARD";

// Set once on the main thread by ensure_single_instance. The handle is never closed: its
// existence is the guard, and the system drops it with the process.
HANDLE instance_guard = nullptr;
bool continued_copy = false;  // this process is the windowless copy

std::wstring wide(std::string_view text) {
  const std::u16string units = utf8::to_utf16(text);
  return std::wstring(units.begin(), units.end());
}

// The handle named by the hand-over variable, if it is one of ours. The variable is removed at
// once, so that no child of ours ever sees it.
std::optional<HANDLE> handed_over_handle() {
  std::array<wchar_t, 32> text{};
  const DWORD length =
      ::GetEnvironmentVariableW(HANDOVER_VARIABLE, text.data(), static_cast<DWORD>(text.size()));
  if (length == 0) return std::nullopt;
  continued_copy = true;  // even when the handle proves useless: a copy never starts another
  ::SetEnvironmentVariableW(HANDOVER_VARIABLE, nullptr);
  if (length >= text.size()) return std::nullopt;
  wchar_t* end = nullptr;
  const unsigned long long value = std::wcstoull(text.data(), &end, 10);
  if (end == text.data() || *end != L'\0' || value == 0) return std::nullopt;
  const auto handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
  DWORD flags = 0;
  if (!::GetHandleInformation(handle, &flags)) return std::nullopt;
  ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
  return handle;
}

// Whether two handles refer to the same kernel object (Windows 10 and later).
bool same_object(HANDLE first, HANDLE second) {
  using Compare = BOOL(WINAPI*)(HANDLE, HANDLE);
  const HMODULE kernelbase = ::GetModuleHandleW(L"kernelbase.dll");
  const FARPROC found =
      kernelbase != nullptr ? ::GetProcAddress(kernelbase, "CompareObjectHandles") : nullptr;
  if (found == nullptr) return false;
  const auto compare = reinterpret_cast<Compare>(reinterpret_cast<void*>(found));
  return compare(first, second) != FALSE;
}

unsigned console_process_count() {
  std::array<DWORD, 4> ids{};
  return ::GetConsoleProcessList(ids.data(), static_cast<DWORD>(ids.size()));  // 0: no console
}

struct AttributeListDeleter {
  void operator()(LPPROC_THREAD_ATTRIBUTE_LIST list) const {
    ::DeleteProcThreadAttributeList(list);
  }
};

// Starts this program again with the same command line, without a console window, and with the
// instance guard as its only inherited handle: the mutex never goes away in between, so no other
// start can slip in, and the copy does not need to take it again.
bool start_windowless_copy() {
  const Result<std::string> exe = executable_path();
  if (!exe) return false;
  const std::wstring application = wide(*exe);
  std::wstring command_line = ::GetCommandLineW();

  SIZE_T list_size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<unsigned char> list_storage(list_size);
  auto* const raw_list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_storage.data());
  if (!::InitializeProcThreadAttributeList(raw_list, 1, 0, &list_size)) return false;
  const std::unique_ptr<_PROC_THREAD_ATTRIBUTE_LIST, AttributeListDeleter> list(raw_list);
  HANDLE inherited = instance_guard;
  if (!::UpdateProcThreadAttribute(list.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &inherited,
                                   sizeof inherited, nullptr, nullptr) ||
      !::SetHandleInformation(instance_guard, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
    return false;
  }

  const std::wstring value = std::to_wstring(reinterpret_cast<uintptr_t>(instance_guard));
  ::SetEnvironmentVariableW(HANDOVER_VARIABLE, value.c_str());
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  // No standard handles: nobody could read the copy's output, and it must not keep the login
  // console (or a terminal behind it) open.
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.lpAttributeList = list.get();
  PROCESS_INFORMATION info{};
  const BOOL started =
      ::CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                       CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT,
                       nullptr, nullptr, &startup.StartupInfo, &info);
  ::SetEnvironmentVariableW(HANDOVER_VARIABLE, nullptr);
  ::SetHandleInformation(instance_guard, HANDLE_FLAG_INHERIT, 0);
  if (!started) return false;
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
  return true;
}

}  // namespace

void ensure_single_instance() {
  const std::optional<HANDLE> inherited = handed_over_handle();
  const std::wstring name = wide(INSTANCE_MUTEX_NAME);
  // No handle at all (say, another kind of object holds the name) refuses the start too.
  const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name.c_str());
  const DWORD error = ::GetLastError();
  if (mutex != nullptr && error != ERROR_ALREADY_EXISTS) {
    instance_guard = mutex;
    return;
  }
  if (mutex != nullptr && inherited && same_object(*inherited, mutex)) {
    // The copy of a login start: the guard came with us.
    ::CloseHandle(mutex);
    instance_guard = *inherited;
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
    case BackgroundStart::CONTINUE_WITHOUT_CONSOLE:
      hide_console();  // gone at once where the console host allows it
      // Should the copy not start, the receiver goes on here, hidden as far as that goes.
      return start_windowless_copy();
  }
  return false;
}

}  // namespace brindle
