// The WLAN service through wlanapi.dll, loaded when the receiver starts: a Windows without it
// (a Server without the Wireless LAN feature) still runs the receiver, and the .exe still needs
// only the DLLs every Windows has.
#include <windows.h>

#include <wlanapi.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "main/wifi_scan_hold.h"

namespace brindle {
namespace {

struct LibraryDeleter {
  void operator()(HMODULE library) const { ::FreeLibrary(library); }
};
using OwnedLibrary = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryDeleter>;

struct WlanFunctions {
  decltype(&::WlanOpenHandle) open_handle = nullptr;
  decltype(&::WlanCloseHandle) close_handle = nullptr;
  decltype(&::WlanEnumInterfaces) enum_interfaces = nullptr;
  decltype(&::WlanSetInterface) set_interface = nullptr;
  decltype(&::WlanFreeMemory) free_memory = nullptr;
  decltype(&::WlanRegisterNotification) register_notification = nullptr;
};

template <class Function>
bool find(HMODULE library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
  return function != nullptr;
}

WlanInterfaceId id_of(const GUID& guid) {
  return WlanInterfaceId(reinterpret_cast<const char*>(&guid), sizeof guid);
}

GUID guid_of(const WlanInterfaceId& id) {
  GUID guid{};
  std::memcpy(&guid, id.data(), std::min(id.size(), sizeof guid));
  return guid;
}

class WlanHold final : public StreamingWifi, private WlanService {
 public:
  WlanHold(OwnedLibrary library, WlanFunctions wlan, HANDLE client)
      : library_(std::move(library)), wlan_(wlan), client_(client) {}

  ~WlanHold() override {
    wlan_.register_notification(client_, WLAN_NOTIFICATION_SOURCE_NONE, TRUE, nullptr, nullptr,
                                nullptr, nullptr);
    release();
    wlan_.close_handle(client_, nullptr);
  }

  // Interfaces that come, connect, disconnect or go are told on the service's own thread.
  void listen() {
    wlan_.register_notification(client_, WLAN_NOTIFICATION_SOURCE_ACM, TRUE, &WlanHold::notified,
                                this, nullptr, nullptr);
  }

  void stream_playing(bool playing) override {
    const std::lock_guard lock(mutex_);
    hold_.stream_playing(playing);
  }

  void release() override {
    const std::lock_guard lock(mutex_);
    hold_.release();
  }

 private:
  std::vector<WlanInterfaceId> connected_interfaces() override {
    WLAN_INTERFACE_INFO_LIST* raw = nullptr;
    if (wlan_.enum_interfaces(client_, nullptr, &raw) != ERROR_SUCCESS || raw == nullptr) return {};
    const std::unique_ptr<WLAN_INTERFACE_INFO_LIST, decltype(wlan_.free_memory)> list(
        raw, wlan_.free_memory);
    std::vector<WlanInterfaceId> connected;
    for (DWORD i = 0; i < list->dwNumberOfItems; ++i) {
      const WLAN_INTERFACE_INFO& info = list->InterfaceInfo[i];
      if (info.isState == wlan_interface_state_connected) {
        connected.push_back(id_of(info.InterfaceGuid));
      }
    }
    return connected;
  }

  bool hold_scans(const WlanInterfaceId& id, bool on) override {
    const GUID guid = guid_of(id);
    BOOL streaming = on ? TRUE : FALSE;
    BOOL scans = on ? FALSE : TRUE;
    const DWORD mode = wlan_.set_interface(client_, &guid, wlan_intf_opcode_media_streaming_mode,
                                           sizeof streaming, &streaming, nullptr);
    const DWORD scan = wlan_.set_interface(client_, &guid, wlan_intf_opcode_background_scan_enabled,
                                           sizeof scans, &scans, nullptr);
    return mode == ERROR_SUCCESS || scan == ERROR_SUCCESS;
  }

  static void WINAPI notified(WLAN_NOTIFICATION_DATA* data, void* context) {
    if (data == nullptr || data->NotificationSource != WLAN_NOTIFICATION_SOURCE_ACM) return;
    auto* const self = static_cast<WlanHold*>(context);
    const std::lock_guard lock(self->mutex_);
    switch (data->NotificationCode) {
      case wlan_notification_acm_interface_arrival:
      case wlan_notification_acm_connection_complete:
        self->hold_.interface_connected();
        break;
      case wlan_notification_acm_disconnected:
        self->hold_.interface_disconnected(id_of(data->InterfaceGuid));
        break;
      case wlan_notification_acm_interface_removal:
        self->hold_.interface_removed(id_of(data->InterfaceGuid));
        break;
      default:
        break;
    }
  }

  const OwnedLibrary library_;
  const WlanFunctions wlan_;
  const HANDLE client_;
  std::mutex mutex_;  // guards hold_: the main thread and the service's notification thread
  WifiScanHold hold_{*this};
};

}  // namespace

std::unique_ptr<StreamingWifi> start_streaming_wifi() {
  OwnedLibrary library(::LoadLibraryExW(L"wlanapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!library) return nullptr;
  WlanFunctions wlan;
  const HMODULE module = library.get();
  if (!find(module, "WlanOpenHandle", wlan.open_handle) ||
      !find(module, "WlanCloseHandle", wlan.close_handle) ||
      !find(module, "WlanEnumInterfaces", wlan.enum_interfaces) ||
      !find(module, "WlanSetInterface", wlan.set_interface) ||
      !find(module, "WlanFreeMemory", wlan.free_memory) ||
      !find(module, "WlanRegisterNotification", wlan.register_notification)) {
    return nullptr;
  }
  DWORD version = 0;
  HANDLE client = nullptr;
  // Version 2: the WLAN API of every Windows the receiver runs on.
  if (wlan.open_handle(2, nullptr, &version, &client) != ERROR_SUCCESS) return nullptr;
  auto hold = std::make_unique<WlanHold>(std::move(library), wlan, client);
  hold->listen();
  return hold;
}

}  // namespace brindle
