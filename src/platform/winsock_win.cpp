#include <winsock2.h>

#include "platform/os_error.h"
#include "platform/winsock_win.h"

namespace brindle {

const std::string& ensure_winsock() {
  // A magic static: C++ guarantees one call of the initialiser even with racing threads.
  static const std::string failure = [] {
    WSADATA data{};
    const int code = ::WSAStartup(MAKEWORD(2, 2), &data);
    return code == 0 ? std::string() : os_error_text(code);
  }();
  return failure;
}

}  // namespace brindle
