#include "platform/console.h"

#include <unistd.h>
#include <cerrno>

namespace brindle::console {
namespace {

void write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report a failed console write
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

void write_out(std::string_view text) {
  write_all(STDOUT_FILENO, text);
}
void write_err(std::string_view text) {
  write_all(STDERR_FILENO, text);
}

}  // namespace brindle::console
