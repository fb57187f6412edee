// Waits for the receiver's warning dialog (caption "Brindle Receiver") on the Wine suite's
// virtual display, prints what it shows and presses OK. Output, one item a line:
//   caption, then "icon" where an icon control shows one, then each other control's text (line
//   breaks written as \n).
// Exits 0 when a dialog was read and closed, 1 when none came within the given seconds.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/utf8.h"

namespace {

std::string text_of(HWND window) {
  std::u16string text(static_cast<size_t>(::GetWindowTextLengthW(window)) + 1, u'\0');
  const int length = ::GetWindowTextW(window, reinterpret_cast<LPWSTR>(text.data()),
                                      static_cast<int>(text.size()));
  text.resize(static_cast<size_t>(length > 0 ? length : 0));
  std::string line;
  for (const char c : brindle::utf8::from_utf16(text)) {
    if (c == '\n') {
      line += "\\n";  // one line per control
    } else if (c != '\r') {
      line += c;
    }
  }
  return line;
}

BOOL CALLBACK collect(HWND child, LPARAM out) {
  auto& lines = *reinterpret_cast<std::vector<std::string>*>(out);
  wchar_t class_name[64] = {};
  ::GetClassNameW(child, class_name, 64);
  const LONG_PTR style = ::GetWindowLongPtrW(child, GWL_STYLE);
  if (::lstrcmpiW(class_name, L"Static") == 0 && (style & SS_TYPEMASK) == SS_ICON) {
    if (::SendMessageW(child, STM_GETICON, 0, 0) != 0) lines.push_back("icon");
  } else {
    lines.push_back(text_of(child));
  }
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
  for (int waited = 0; waited < seconds * 10; ++waited) {
    const HWND dialog = ::FindWindowW(L"#32770", L"Brindle Receiver");
    if (dialog != nullptr) {
      ::Sleep(300);  // let the dialog finish its set-up
      std::vector<std::string> lines = {text_of(dialog)};
      ::EnumChildWindows(dialog, collect, reinterpret_cast<LPARAM>(&lines));
      for (const std::string& line : lines) brindle::console::write_out(line + "\n");
      ::PostMessageW(dialog, WM_COMMAND, IDOK, 0);
      return 0;
    }
    ::Sleep(100);
  }
  return 1;
}
