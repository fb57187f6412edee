#include "main/wifi_scan_hold.h"

namespace brindle {

// Linux has no equivalent a user program may ask for: nothing to hold.
std::unique_ptr<StreamingWifi> start_streaming_wifi() {
  return nullptr;
}

}  // namespace brindle
