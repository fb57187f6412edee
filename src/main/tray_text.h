// What the notification-area icon of a background receiver says: its tooltip, its menu, which
// picture it shows and when a balloon tells of the audio device. Portable, so tests reach it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "main/status_line.h"
#include "platform/socket_address.h"

namespace brindle {

// The figures behind the icon, refreshed with each status line.
struct TrayView {
  StreamState state = StreamState::WAITING;
  std::optional<SocketAddress> phone;  // sender of the latest datagram
  bool output_available = true;        // false from a stream error until the output is back
};

enum class TrayPicture { WAITING, STREAMING, IDLE };

enum class TrayCommand { NONE, START_AT_LOGIN, OPEN_LOG, QUIT };

struct TrayMenuItem {
  TrayCommand command = TrayCommand::NONE;  // NONE with no text: a separator
  std::string text;
  bool enabled = true;
  bool checked = false;
};

struct TrayBalloon {
  std::string title;
  std::string text;
  bool warning = false;
};

// Longest tooltip the notification area keeps, in UTF-16 units (without the terminating NUL).
inline constexpr size_t TOOLTIP_UNITS = 127;

// "192.168.1.20" for an IPv4 sender, also one seen through the dual-stack socket.
std::string phone_host_text(const SocketAddress& address);

// "streaming from 192.168.1.20", "waiting for the phone", ...
std::string tray_state_text(const TrayView& view);

// "Brindle receiver — {state}", cut at a whole character to fit the notification area.
std::string tray_tooltip(const TrayView& view);

TrayPicture tray_picture(const TrayView& view);

// The right-click menu: the state (greyed), a separator, "Start at login" (checked when the login
// entry starts this program; greyed while a change of it is under way), "Open log", "Quit".
std::vector<TrayMenuItem> tray_menu(const TrayView& view, bool starts_at_login,
                                    bool login_change_busy);

// Whether a login command (as stored in the Run value) starts the program at `exe_path`: its
// first argument names the same file, ignoring letter case and the slash direction.
bool command_starts_program(std::string_view command, std::string_view exe_path);

// One balloon when the output goes away and one when it is back, however often either is told.
class OutputEpisodes {
 public:
  std::optional<TrayBalloon> output_changed(bool available);

 private:
  bool available_ = true;
};

}  // namespace brindle
