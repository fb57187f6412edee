// Clicks through a setup wizard for the installer suite, as a user would: on each page it logs
// the texts of the visible controls (one line each, checkboxes as "[x] " or "[ ] ", a line "--"
// after each page), unticks the checkboxes named on the command line and presses the default
// button (Next, Install, Finish) once it is enabled. It ends when the window is gone, or with
// status 1 when the window never shows up or the wizard stops moving.
// Usage: setup_driver.exe LOG_FILE WINDOW_TITLE [CHECKBOX_TEXT...]
#include <windows.h>

#include <algorithm>
#include <fstream>
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

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = brindle::command_line_arguments(argc, argv);
  if (args.size() < 2) return 2;
  std::ofstream log(args[0], std::ios::binary);
  const std::wstring title = wide(args[1]);
  const std::vector<std::string> untick(args.begin() + 2, args.end());

  bool seen = false;
  std::string clicked_page;
  DWORD last_move = ::GetTickCount();
  while (::GetTickCount() - last_move < 120000) {
    const HWND main = find_wizard(title);
    if (main == nullptr) {
      if (seen) return 0;
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
  return 1;
}
