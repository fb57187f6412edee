#include "main/wifi_scan_hold.h"

namespace brindle {

void WifiScanHold::stream_playing(bool playing) {
  if (released_ || playing == playing_) return;
  playing_ = playing;
  if (playing) {
    take_connected();
  } else {
    give_back_all();
  }
}

void WifiScanHold::interface_connected() {
  if (playing_ && !released_) take_connected();
}

void WifiScanHold::interface_disconnected(const WlanInterfaceId& id) {
  if (held_.erase(id) != 0) service_.hold_scans(id, false);
}

void WifiScanHold::interface_removed(const WlanInterfaceId& id) {
  held_.erase(id);
}

void WifiScanHold::release() {
  released_ = true;
  give_back_all();
}

void WifiScanHold::take_connected() {
  for (const WlanInterfaceId& id : service_.connected_interfaces()) {
    if (held_.count(id) == 0 && service_.hold_scans(id, true)) held_.insert(id);
  }
}

void WifiScanHold::give_back_all() {
  for (const WlanInterfaceId& id : held_) service_.hold_scans(id, false);
  held_.clear();
}

}  // namespace brindle
