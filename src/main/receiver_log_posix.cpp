#include "main/receiver_log.h"

namespace brindle {

// Off Windows the background mode keeps the console, and with it whatever the user made of it.
std::function<void(std::string_view)> open_receiver_log() {
  return {};
}

std::string receiver_log_path() {
  return {};
}

}  // namespace brindle
