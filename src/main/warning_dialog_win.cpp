#include <windows.h>

#include <string>

#include "main/instance_guard.h"
#include "main/warning_dialog.h"
#include "platform/wide_win.h"

namespace brindle {

void show_warning_dialog(std::string_view text) {
  const std::wstring wide_text = wide(text);
  const std::wstring caption = wide(DIALOG_CAPTION);
  // In front: it comes from a hidden process, which cannot otherwise take the foreground.
  ::MessageBoxW(nullptr, wide_text.c_str(), caption.c_str(),
                MB_OK | MB_ICONWARNING | MB_SETFOREGROUND | MB_TOPMOST);
}

}  // namespace brindle
