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
  Impl(OwnedHandle sockets_ready, OwnedHandle wake_event)
      : socket_event(std::move(sockets_ready)), wake(std::move(wake_event)) {}
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  void report_change() {
    addresses_changed.store(true);
    ::SetEvent(wake.get());
  }

  // Manual reset, set by Winsock on FD_READ of any watched socket: one event serves every link,
  // however many there are (a wait takes at most 64 handles).
  OwnedHandle socket_event;
  OwnedHandle wake;  // auto reset
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

Result<std::unique_ptr<ResponderWakeups>> ResponderWakeups::create() {
  OwnedHandle sockets_ready(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (sockets_ready.get() == nullptr) return make_error(last_os_error_text());
  OwnedHandle wake(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (wake.get() == nullptr) return make_error(last_os_error_text());
  auto impl = std::make_unique<Impl>(std::move(sockets_ready), std::move(wake));
  // Without notifications the responder keeps the addresses it started with.
  (void)::NotifyUnicastIpAddressChange(AF_INET, on_address_change, impl.get(), FALSE,
                                       impl->address_notification.out());
  (void)::NotifyIpInterfaceChange(AF_INET, on_interface_change, impl.get(), FALSE,
                                  impl->interface_notification.out());
  return std::make_unique<ResponderWakeups>(std::move(impl));
}

Status ResponderWakeups::watch(const MdnsSocket& socket) {
  // This also makes the socket non-blocking, which the responder's reads expect; closing the
  // socket ends the association.
  if (::WSAEventSelect(static_cast<SOCKET>(socket.handle()), impl_->socket_event.get(), FD_READ) ==
      SOCKET_ERROR) {
    return make_error(last_socket_error_text());
  }
  return {};
}

ResponderWakeups::ResponderWakeups(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ResponderWakeups::~ResponderWakeups() = default;

void ResponderWakeups::wake() {
  ::SetEvent(impl_->wake.get());
}

ResponderWakeups::Woken ResponderWakeups::wait(std::optional<std::chrono::milliseconds> timeout,
                                               std::span<const MdnsSocket::Handle> sockets) {
  const std::array<HANDLE, 2> events = {impl_->wake.get(), impl_->socket_event.get()};
  const DWORD milliseconds =
      timeout ? static_cast<DWORD>(std::clamp<int64_t>(timeout->count(), 0, INFINITE - 1))
              : INFINITE;
  const bool watch_sockets = !sockets.empty();
  (void)::WaitForMultipleObjects(watch_sockets ? 2 : 1, events.data(), FALSE, milliseconds);
  Woken woken;
  woken.addresses = impl_->addresses_changed.exchange(false);
  if (watch_sockets && ::WaitForSingleObject(impl_->socket_event.get(), 0) == WAIT_OBJECT_0) {
    // Reset before reading: a datagram arriving during the reads sets it again. The event does
    // not say which socket, so every one is read.
    ::ResetEvent(impl_->socket_event.get());
    for (size_t i = 0; i < sockets.size(); ++i) woken.readable.push_back(i);
  }
  return woken;
}

}  // namespace brindle
