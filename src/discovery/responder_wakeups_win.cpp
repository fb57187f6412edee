#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>
#include <netioapi.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <utility>

#include "discovery/responder_wakeups.h"
#include "platform/os_error.h"
#include "platform/owned_handle_win.h"

namespace brindle {
namespace {

// A change notification registered with the IP helper; cancelling it waits for a callback
// that is running, so nothing calls into a destroyed object.
class Notification {
 public:
  Notification() = default;
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;
  ~Notification() {
    if (handle_ != nullptr) ::CancelMibChangeNotify2(handle_);
  }
  HANDLE* out() { return &handle_; }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace

struct ResponderWakeups::Impl {
  Impl(SOCKET s, OwnedHandle socket_ready, OwnedHandle wake_event)
      : socket(s), socket_event(std::move(socket_ready)), wake(std::move(wake_event)) {}
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
  ~Impl() { ::WSAEventSelect(socket, nullptr, 0); }

  void report_change() {
    addresses_changed.store(true);
    ::SetEvent(wake.get());
  }

  SOCKET socket;
  OwnedHandle socket_event;  // manual reset, set by Winsock on FD_READ
  OwnedHandle wake;          // auto reset
  std::atomic<bool> addresses_changed{false};
  // Declared last: cancelled first, while the events still exist.
  Notification address_notification;
  Notification interface_notification;
};

namespace {

VOID NETIOAPI_API_ on_address_change(PVOID context, PMIB_UNICASTIPADDRESS_ROW,
                                     MIB_NOTIFICATION_TYPE) {
  static_cast<ResponderWakeups::Impl*>(context)->report_change();
}

VOID NETIOAPI_API_ on_interface_change(PVOID context, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE) {
  static_cast<ResponderWakeups::Impl*>(context)->report_change();
}

}  // namespace

Result<std::unique_ptr<ResponderWakeups>> ResponderWakeups::create(const MdnsSocket& socket) {
  const SOCKET s = static_cast<SOCKET>(socket.handle());
  OwnedHandle socket_ready(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (socket_ready.get() == nullptr) return make_error(last_os_error_text());
  OwnedHandle wake(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (wake.get() == nullptr) return make_error(last_os_error_text());
  auto impl = std::make_unique<Impl>(s, std::move(socket_ready), std::move(wake));
  // This also makes the socket non-blocking, which the responder's reads expect.
  if (::WSAEventSelect(s, impl->socket_event.get(), FD_READ) == SOCKET_ERROR) {
    return make_error(last_socket_error_text());
  }
  // Without notifications the responder keeps the addresses it started with.
  (void)::NotifyUnicastIpAddressChange(AF_INET, on_address_change, impl.get(), FALSE,
                                       impl->address_notification.out());
  (void)::NotifyIpInterfaceChange(AF_INET, on_interface_change, impl.get(), FALSE,
                                  impl->interface_notification.out());
  return std::make_unique<ResponderWakeups>(std::move(impl));
}

ResponderWakeups::ResponderWakeups(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ResponderWakeups::~ResponderWakeups() = default;

void ResponderWakeups::wake() {
  ::SetEvent(impl_->wake.get());
}

ResponderWakeups::Woken ResponderWakeups::wait(std::optional<std::chrono::milliseconds> timeout,
                                               bool watch_socket) {
  const std::array<HANDLE, 2> events = {impl_->wake.get(), impl_->socket_event.get()};
  const DWORD milliseconds =
      timeout ? static_cast<DWORD>(std::clamp<int64_t>(timeout->count(), 0, INFINITE - 1))
              : INFINITE;
  (void)::WaitForMultipleObjects(watch_socket ? 2 : 1, events.data(), FALSE, milliseconds);
  Woken woken;
  woken.addresses = impl_->addresses_changed.exchange(false);
  if (watch_socket && ::WaitForSingleObject(impl_->socket_event.get(), 0) == WAIT_OBJECT_0) {
    // Reset before reading: a datagram arriving during the reads sets it again.
    ::ResetEvent(impl_->socket_event.get());
    woken.datagram = true;
  }
  return woken;
}

}  // namespace brindle
