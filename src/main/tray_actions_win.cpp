#include "main/tray_actions_win.h"

#include <windows.h>

#include <shellapi.h>

#include <chrono>
#include <string>

#include <fmt/format.h>

#include "main/autostart_store.h"
#include "main/receiver_end.h"
#include "main/receiver_log.h"
#include "platform/com_win.h"
#include "platform/console.h"
#include "platform/os_error.h"
#include "platform/process.h"
#include "platform/wide_win.h"

namespace brindle {
namespace {

constexpr auto QUIT_FLUSH_LIMIT = std::chrono::milliseconds(500);

// ShellExecuteExW in an apartment of its own; the system's error when it failed.
DWORD shell_open(const std::wstring& file) {
  const com::Apartment apartment(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  SHELLEXECUTEINFOW request{};
  request.cbSize = sizeof request;
  request.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
  request.lpVerb = L"open";
  request.lpFile = file.c_str();
  request.nShow = SW_SHOWNORMAL;
  return ::ShellExecuteExW(&request) != FALSE ? ERROR_SUCCESS : ::GetLastError();
}

}  // namespace

bool starts_at_login() {
  const Result<std::optional<std::string>> command = read_run_value(RUN_KEY);
  const Result<std::string> exe = executable_path();
  return command && *command && exe && command_starts_program(**command, *exe);
}

std::optional<TrayBalloon> change_login_start(bool on, const Options& options) {
  const AutostartOutcome outcome =
      apply_autostart(on ? AutostartMode::ON : AutostartMode::OFF, options);
  if (outcome.err.empty()) return std::nullopt;
  std::string text = outcome.err;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return TrayBalloon{"Start at login not changed", text, true};
}

std::optional<TrayBalloon> open_log() {
  const std::string path = receiver_log_path();
  const DWORD error = path.empty() ? ERROR_ENVVAR_NOT_FOUND : shell_open(wide(path));
  if (error == ERROR_SUCCESS) return std::nullopt;
  const std::string shown =
      path.empty() ? fmt::format("%LOCALAPPDATA%\\{}\\{}", LOG_FOLDER_NAME, LOG_FILE_NAME) : path;
  return TrayBalloon{"Cannot open the log", shown + ": " + os_error_text(static_cast<int>(error)),
                     true};
}

void end_receiver() {
  run_receiver_end_steps();
  console::flush(QUIT_FLUSH_LIMIT);
  ::TerminateProcess(::GetCurrentProcess(), 0);
  for (;;) ::Sleep(INFINITE);
}

}  // namespace brindle
