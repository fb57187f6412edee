// Clicks through a setup wizard for the installer suite, as a user would: on each page it logs
// the texts of the visible controls (one line each, checkboxes as "[x] " or "[ ] ", a line "--"
// after each page), unticks the checkboxes named on the command line and presses the default
// button (Next, Install, Finish) once it is enabled. Status 1 when the window never shows up or
// the wizard stops moving.
// It starts the setup itself and ends with the setup's exit status.
// Usage: setup_driver.exe LOG_FILE SETUP_EXE WINDOW_TITLE [CHECKBOX_TEXT...]
#include <windows.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/arguments.h"
#include "platform/utf8.h"

namespace {

std::wstring wide(const std::string& text) {
  const std::u16string units = brindle::utf8::to_utf16(text);
  return std::wstring(units.begin(), units.end());
}

std::string window_text(HWND window) {
  std::wstring text(static_cast<size_t>(::GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(
      static_cast<size_t>(::GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  std::replace(text.begin(), text.end(), L'\r', L' ');
  std::replace(text.begin(), text.end(), L'\n', L' ');
  return brindle::utf8::from_utf16(std::u16string(text.begin(), text.end()));
}

bool is_checkbox(HWND window) {
  wchar_t kind[16] = {};
  ::GetClassNameW(window, kind, 16);
  const LONG type = ::GetWindowLongW(window, GWL_STYLE) & BS_TYPEMASK;
  return std::wstring(kind) == L"Button" && (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX);
}

std::vector<HWND> visible_controls(HWND main) {
  std::vector<HWND> controls;
  ::EnumChildWindows(
      main,
      [](HWND child, LPARAM list) -> BOOL {
        if (::IsWindowVisible(child)) reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&controls));
  return controls;
}

std::string page_text(HWND main) {
  std::string page;
  for (HWND control : visible_controls(main)) {
    const std::string text = window_text(control);
    if (text.empty()) continue;
    if (is_checkbox(control)) {
      page += ::SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED ? "[x] " : "[ ] ";
    }
    page += text + "\n";
  }
  return page;
}

// The wizard's window: its caption starts with the title (it gains ": Installing" and the like).
HWND find_wizard(const std::wstring& title) {
  struct Search {
    const std::wstring& title;
    HWND found = nullptr;
  } search{title};
  ::EnumWindows(
      [](HWND window, LPARAM state) -> BOOL {
        auto* search = reinterpret_cast<Search*>(state);
        wchar_t kind[16] = {};
        ::GetClassNameW(window, kind, 16);
        wchar_t caption[256] = {};
        ::GetWindowTextW(window, caption, 256);
        if (std::wstring(kind) != L"#32770" || std::wstring(caption).rfind(search->title, 0) != 0) {
          return TRUE;
        }
        search->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

struct HandleCloser {
  void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// Starts the setup itself, so that the two never start at the same moment in a fresh prefix
// (seen to hang both under Wine).
Handle start(const std::string& program) {
  std::wstring command = L"\"" + wide(program) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
    return nullptr;
  }
  ::CloseHandle(info.hThread);
  return Handle(info.hProcess);
}

// Walks the wizard to its end; false when it stopped moving.
bool walk(HWND (*find)(const std::wstring&), const std::wstring& title,
          const std::vector<std::string>& untick, std::ofstream& log) {
  bool seen = false;
  std::string clicked_page;
  DWORD last_move = ::GetTickCount();
  while (::GetTickCount() - last_move < 120000) {
    const HWND main = find(title);
    if (main == nullptr) {
      if (seen) return true;
      ::Sleep(200);
      continue;
    }
    seen = true;
    const HWND next = ::GetDlgItem(main, IDOK);
    if (next != nullptr && ::IsWindowEnabled(next) && ::IsWindowVisible(next) &&
        page_text(main) != clicked_page) {
      log << page_text(main) << "--\n" << std::flush;
      for (HWND control : visible_controls(main)) {
        if (is_checkbox(control) &&
            std::find(untick.begin(), untick.end(), window_text(control)) != untick.end() &&
            ::SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED) {
          ::SendMessageW(control, BM_CLICK, 0, 0);
        }
      }
      clicked_page = page_text(main);
      last_move = ::GetTickCount();
      ::PostMessageW(next, BM_CLICK, 0, 0);
    }
    ::Sleep(200);
  }
  // Say what was there instead.
  ::EnumWindows(
      [](HWND window, LPARAM out) -> BOOL {
        *reinterpret_cast<std::ofstream*>(out) << "window: " << window_text(window) << "\n";
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&log));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = brindle::command_line_arguments(argc, argv);
  if (args.size() < 3) return 2;
  std::ofstream log(args[0], std::ios::binary);
  const Handle setup = start(args[1]);
  if (!setup) {
    log << "cannot start " << args[1] << "\n";
    return 1;
  }
  const std::vector<std::string> untick(args.begin() + 3, args.end());
  if (!walk(find_wizard, wide(args[2]), untick, log)) return 1;
  DWORD status = 1;
  if (::WaitForSingleObject(setup.get(), 60000) != WAIT_OBJECT_0 ||
      !::GetExitCodeProcess(setup.get(), &status)) {
    log << "setup did not end\n";
    return 1;
  }
  return static_cast<int>(status);
}
