// Stands in for wlanapi.dll in the Wine suite (Wine's own has no interfaces): a WLAN service with
// one connected Wi-Fi interface that refuses every setting and every notification, as a driver
// without media-streaming mode or a locked-down PC would. Each WlanSetInterface is appended to
// the file named by BRINDLE_WLAN_STANDIN_LOG as "{opcode} {value}".
#include <windows.h>

#include <wlanapi.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr GUID INTERFACE_GUID = {0x5eed0001, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};

}  // namespace

extern "C" {

__declspec(dllexport) DWORD WINAPI WlanOpenHandle(DWORD, PVOID, PDWORD version, PHANDLE client) {
  *version = 2;
  *client = reinterpret_cast<HANDLE>(1);
  return ERROR_SUCCESS;
}

__declspec(dllexport) DWORD WINAPI WlanCloseHandle(HANDLE, PVOID) {
  return ERROR_SUCCESS;
}

__declspec(dllexport) DWORD WINAPI
    WlanEnumInterfaces(HANDLE, PVOID, PWLAN_INTERFACE_INFO_LIST* list) {
  auto* made = static_cast<WLAN_INTERFACE_INFO_LIST*>(
      std::calloc(1, sizeof(WLAN_INTERFACE_INFO_LIST) + sizeof(WLAN_INTERFACE_INFO)));
  made->dwNumberOfItems = 1;
  made->InterfaceInfo[0].InterfaceGuid = INTERFACE_GUID;
  made->InterfaceInfo[0].isState = wlan_interface_state_connected;
  *list = made;
  return ERROR_SUCCESS;
}

__declspec(dllexport) VOID WINAPI WlanFreeMemory(PVOID memory) {
  std::free(memory);
}

__declspec(dllexport) DWORD WINAPI WlanSetInterface(HANDLE, const GUID*, WLAN_INTF_OPCODE opcode,
                                                    DWORD size, const PVOID data, PVOID) {
  char path[MAX_PATH] = {};
  if (::GetEnvironmentVariableA("BRINDLE_WLAN_STANDIN_LOG", path, MAX_PATH) != 0) {
    if (FILE* log = std::fopen(path, "a")) {
      const int value = size >= sizeof(BOOL) ? *static_cast<const BOOL*>(data) : -1;
      std::fprintf(log, "%d %d\n", static_cast<int>(opcode), value);
      std::fclose(log);
    }
  }
  return ERROR_ACCESS_DENIED;
}

__declspec(dllexport) DWORD WINAPI
    WlanRegisterNotification(HANDLE, DWORD, BOOL, WLAN_NOTIFICATION_CALLBACK, PVOID, PVOID,
                             PDWORD) {
  return ERROR_ACCESS_DENIED;
}
}
