// Operating-system error texts in the one form the program prints them:
// "{system text} (os error {code})".
#pragma once

#include <string>

namespace brindle {

// Text for an error code of the C library (errno) or, on Windows, of GetLastError/WSAGetLastError.
std::string os_error_text(int code);

// Text for the calling thread's most recent socket error (errno / WSAGetLastError).
std::string last_socket_error_text();

// Text for the calling thread's most recent system error (errno / GetLastError).
std::string last_os_error_text();

}  // namespace brindle
