#include "main/tray_icon.h"

namespace brindle {

// A background receiver on Linux runs as a session service would: nothing to show.
std::unique_ptr<TrayIcon> start_tray_icon(const Options&) {
  return nullptr;
}

}  // namespace brindle
