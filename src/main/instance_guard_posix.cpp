// One receiver per login session: a lock the kernel drops with the process, so a crash or a
// kill -9 never leaves a stale guard behind.
#include "main/instance_guard.h"

#include <array>
#include <cstddef>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/console.h"
#include "platform/process.h"

namespace brindle {
namespace {

enum class Guard { HELD, TAKEN };

// The descriptor is deliberately never closed: holding it is the guard, and the kernel lets go
// of it when the process ends. Close-on-exec keeps children from holding it after we are gone.
Guard lock_runtime_file(int fd) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return Guard::HELD;
  ::close(fd);
  return Guard::TAKEN;  // held elsewhere, or the lock itself failed: both refuse the start
}

// Without a runtime folder the user id names an abstract socket; its name goes with the process.
Guard bind_abstract_socket() {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Guard::TAKEN;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string name = "brindle-receiver-" + std::to_string(::getuid());
  name.copy(address.sun_path + 1, sizeof address.sun_path - 1);  // leading NUL: abstract name
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) return Guard::HELD;
  ::close(fd);
  return Guard::TAKEN;
}

Guard take_guard() {
  const char* const runtime_dir = std::getenv("XDG_RUNTIME_DIR");
  if (runtime_dir != nullptr && runtime_dir[0] == '/') {
    const std::string path = std::string(runtime_dir) + "/brindle-receiver.lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) return lock_runtime_file(fd);
  }
  return bind_abstract_socket();
}

bool has_graphical_session() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* const value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return true;
  }
  return false;
}

// The first helper that starts shows the warning and returns when it is closed. Without a
// session nothing is tried, so a headless start never waits.
void show_warning_dialog() {
  if (!has_graphical_session()) return;
  const std::string caption(DIALOG_CAPTION);
  const std::string text(DIALOG_TEXT);
  const std::array<std::string, 4> zenity = {"--warning", "--title=" + caption, "--no-markup",
                                             "--text=" + text};
  const std::array<std::string, 4> kdialog = {"--title", caption, "--sorry", text};
  const std::array<std::string, 6> xmessage = {"-title",   caption, "-center",
                                               "-buttons", "OK",    text};
  if (run_process("zenity", zenity)) return;
  if (run_process("kdialog", kdialog)) return;
  (void)run_process("xmessage", xmessage);
}

}  // namespace

void ensure_single_instance() {
  if (take_guard() == Guard::HELD) return;
  console::write_err(ALREADY_RUNNING_LINE);
  show_warning_dialog();
  std::exit(1);
}

void hide_console() {
  // A POSIX process has no console window of its own to hide; the terminal stays as it is.
}

}  // namespace brindle
