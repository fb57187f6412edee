// While a phone streams, the PC's Wi-Fi is asked to stay on its channel: media-streaming mode on
// and background scans held, for each connected Wi-Fi interface, and both given back when the
// stream rests, when the receiver ends and when the interface goes. A scan leaves the channel for
// 50 to 400 ms, far longer than the jitter buffer's prefill.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace brindle {

using WlanInterfaceId = std::string;  // opaque to the decision: the interface's GUID on Windows

// The WLAN service as the hold needs it; a fake in tests.
class WlanService {
 public:
  virtual ~WlanService() = default;
  // The connected Wi-Fi interfaces; none without Wi-Fi or without the service.
  virtual std::vector<WlanInterfaceId> connected_interfaces() = 0;
  // On: media-streaming mode on and background scans off; off: both back. Whether the service
  // took any of it.
  virtual bool hold_scans(const WlanInterfaceId& id, bool on) = 0;
};

// When to take and give back. One thread at a time (the caller serialises).
class WifiScanHold {
 public:
  explicit WifiScanHold(WlanService& service) : service_(service) {}

  // The status line's state: streaming takes every connected interface, anything else gives all
  // back. Told every status line; only a change does anything.
  void stream_playing(bool playing);
  // An interface came or connected: taken too while the stream plays.
  void interface_connected();
  // It disconnected (given back) or went away (nothing left to give back).
  void interface_disconnected(const WlanInterfaceId& id);
  void interface_removed(const WlanInterfaceId& id);
  // The receiver ends: everything given back, nothing taken again.
  void release();

  const std::set<WlanInterfaceId>& held() const { return held_; }

 private:
  void take_connected();
  void give_back_all();

  WlanService& service_;
  std::set<WlanInterfaceId> held_;
  bool playing_ = false;
  bool released_ = false;
};

// The receiver's hold, told the status line's state from the main thread.
class StreamingWifi {
 public:
  virtual ~StreamingWifi() = default;
  virtual void stream_playing(bool playing) = 0;
  // Any thread: the receiver ends; everything given back for good.
  virtual void release() = 0;
};

// Windows: the WLAN service's hold, loaded only when wlanapi.dll is there. Nothing elsewhere, or
// where there is no WLAN service: the receiver runs as before, with no line printed.
std::unique_ptr<StreamingWifi> start_streaming_wifi();

}  // namespace brindle
