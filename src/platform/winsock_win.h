// Winsock's one-time start-up, shared by every Windows file that opens a socket.
#pragma once

#include <string>

namespace brindle {

// Starts Winsock 2.2 the first time it is called; later calls return the first outcome.
// Empty on success, else the OS error text. Thread-safe; never cleaned up (the process ends it).
const std::string& ensure_winsock();

}  // namespace brindle
