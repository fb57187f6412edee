// Whether our icon is in the notification area, and what to ask the shell next: an icon that
// survives Explorer making its area again, a shell that refuses for ever, and a quit that always
// takes the icon away. Portable, so tests reach it; the window's thread only.
#pragma once

namespace brindle {

enum class ShellRequest { ADD, MODIFY, REMOVE };

// The shell's side of the icon: Shell_NotifyIconW on Windows (ADD also sets the icon's version),
// always with the latest picture and tooltip; a script of answers in tests.
class NotifyArea {
 public:
  virtual ~NotifyArea() = default;
  // Whether the shell took it.
  virtual bool request(ShellRequest request) = 0;
};

// Failed attempts to show the icon before it waits for the next "TaskbarCreated".
inline constexpr int MAX_FAILED_SHOWS = 5;

class TrayPresence {
 public:
  explicit TrayPresence(NotifyArea& area) : area_(area) {}

  // Shows the latest look: changes the icon that is there, or adds it.
  void show();
  // "TaskbarCreated": the shell made its area again, which may or may not still hold our icon.
  void taskbar_created();
  // Quit, WM_CLOSE, the window going: always asks, since a failed add may still have left it.
  void remove();

  // Whether the icon is known to be there (a balloon needs it).
  bool shown() const { return shown_; }

 private:
  NotifyArea& area_;
  bool shown_ = false;
  int failed_shows_ = 0;
};

}  // namespace brindle
