#include <unistd.h>
#include <cerrno>
#include <csignal>

#include "platform/console_streams.h"

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

class PosixStreams final : public Streams {
 public:
  void write(Stream stream, std::string_view text) override {
    write_all(stream == Stream::STDERR ? STDERR_FILENO : STDOUT_FILENO, text);
  }
};

}  // namespace

std::unique_ptr<Streams> make_streams() {
  return std::make_unique<PosixStreams>();
}

void ignore_broken_pipes() {
  // Child processes get the default back (see process_posix.cpp).
  ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace brindle::console
