// One receiver per login session: a lock the kernel drops with the process, so a crash or a
// kill -9 never leaves a stale guard behind.
#include "main/instance_guard.h"

#include <cstddef>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "main/warning_dialog.h"
#include "platform/console.h"

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

}  // namespace

void ensure_single_instance() {
  if (take_guard() == Guard::HELD) return;
  console::write_err(ALREADY_RUNNING_LINE);
  show_warning_dialog(DIALOG_TEXT);
  std::exit(1);
}

void hide_console() {
  // A POSIX process has no console window of its own to hide; the terminal stays as it is.
}

bool enter_background() {
  hide_console();
  return false;
}

}  // namespace brindle
