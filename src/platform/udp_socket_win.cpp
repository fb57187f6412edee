#include <winsock2.h>
#include <ws2tcpip.h>

#include <mswsock.h>

#include <cstring>
#include <memory>

#include "platform/os_error.h"
#include "platform/socket_address_os.h"
#include "platform/udp_socket.h"
#include "platform/winsock_win.h"

#ifndef SIO_UDP_NETRESET
#define SIO_UDP_NETRESET _WSAIOW(IOC_VENDOR, 15)
#endif

namespace brindle {

namespace {

SOCKET socket_of(OwnedSocket::Handle handle) {
  return static_cast<SOCKET>(handle);
}

// By default an ICMP error quoting our port fails the next receive with WSAECONNRESET or
// WSAENETRESET; they report on datagrams sent earlier and mean nothing to the next one.
void ignore_icmp_reports(SOCKET s) {
  for (const DWORD control : {DWORD{SIO_UDP_CONNRESET}, DWORD{SIO_UDP_NETRESET}}) {
    BOOL report = FALSE;
    DWORD returned = 0;
    (void)::WSAIoctl(s, control, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
  }
}

struct AddrInfoDeleter {
  void operator()(ADDRINFOA* list) const { ::freeaddrinfo(list); }
};

}  // namespace

Result<OwnedSocket> OwnedSocket::open(Family family) {
  if (const std::string& failure = ensure_winsock(); !failure.empty()) return make_error(failure);
  const int domain = family == Family::V6 ? AF_INET6 : AF_INET;
  const SOCKET s = ::WSASocketW(domain, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return make_error(last_socket_error_text());
  ignore_icmp_reports(s);
  return OwnedSocket(static_cast<Handle>(s));
}

void OwnedSocket::close_handle(Handle handle) {
  ::closesocket(socket_of(handle));
}

Status OwnedSocket::set_option_bytes(int level, int name, const void* value, size_t size) const {
  if (::setsockopt(socket_of(handle_), level, name, static_cast<const char*>(value),
                   static_cast<int>(size)) != 0) {
    return make_error(last_socket_error_text());
  }
  return {};
}

Status OwnedSocket::bind(const SocketAddress& local) const {
  const OsSocketAddress address = to_os_address(local);
  if (::bind(socket_of(handle_), address.get(), address.length) != 0) {
    return make_error(last_socket_error_text());
  }
  return {};
}

Status OwnedSocket::send_to(const SocketAddress& destination,
                            std::span<const uint8_t> bytes) const {
  const OsSocketAddress to = to_os_address(destination);
  const int n = ::sendto(socket_of(handle_), reinterpret_cast<const char*>(bytes.data()),
                         static_cast<int>(bytes.size()), 0, to.get(), to.length);
  if (n == SOCKET_ERROR) return make_error(last_socket_error_text());
  return {};
}

Result<std::vector<SocketAddress>> resolve_udp(const std::string& host, uint16_t port) {
  if (const std::string& failure = ensure_winsock(); !failure.empty()) {
    return make_error("cannot start Winsock: " + failure);
  }
  const addrinfo hints = udp_hints();
  addrinfo* raw = nullptr;
  // getaddrinfo reports through its return value, which is a Winsock error code.
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &raw);
  if (rc != 0) return make_error(os_error_text(rc));
  const std::unique_ptr<ADDRINFOA, AddrInfoDeleter> list(raw);
  return from_address_list(list.get());
}

}  // namespace brindle
