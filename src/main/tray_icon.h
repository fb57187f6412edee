// The notification-area icon of a background receiver, owned by a hidden top-level window of class
// "BrindleReceiver" with a message loop on a thread of its own. Quit in its menu, or WM_CLOSE to
// that window, ends the process with status 0 (which also frees the instance guard).
#pragma once

#include <memory>
#include <optional>

#include "main/options.h"
#include "main/status_line.h"
#include "platform/socket_address.h"

namespace brindle {

class TrayIcon {
 public:
  virtual ~TrayIcon() = default;
  // Any thread: what the latest status line showed.
  virtual void show(StreamState state, const std::optional<SocketAddress>& phone) = 0;
  // Any thread: the output went away (false) or is back (true).
  virtual void output_changed(bool available) = 0;
};

// Windows: the icon; its "Start at login" registers the login start with `options`. Nothing where
// there is no notification area, or when its window cannot be made (the receiver runs on).
std::unique_ptr<TrayIcon> start_tray_icon(const Options& options);

}  // namespace brindle
