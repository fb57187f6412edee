#include "main/tray_presence.h"

namespace brindle {

void TrayPresence::show() {
  if (shown_) {
    if (area_.request(ShellRequest::MODIFY)) return;
    shown_ = false;  // gone without a "TaskbarCreated" (yet)
  }
  if (failed_shows_ >= MAX_FAILED_SHOWS) return;
  // An add fails when the icon is still there, as after a "TaskbarCreated" that lost nothing.
  shown_ = area_.request(ShellRequest::ADD) || area_.request(ShellRequest::MODIFY);
  failed_shows_ = shown_ ? 0 : failed_shows_ + 1;
}

void TrayPresence::taskbar_created() {
  shown_ = false;
  failed_shows_ = 0;
  show();
}

void TrayPresence::remove() {
  area_.request(ShellRequest::REMOVE);
  shown_ = false;
}

}  // namespace brindle
