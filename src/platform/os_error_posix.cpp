#include "platform/os_error.h"

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

namespace brindle {

std::string os_error_text(int code) {
  char buffer[256] = {};
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* const text = ::strerror_r(code, buffer, sizeof buffer);
  return fmt::format("{} (os error {})", text, code);
}

std::string last_socket_error_text() {
  return os_error_text(errno);
}
std::string last_os_error_text() {
  return os_error_text(errno);
}

}  // namespace brindle
