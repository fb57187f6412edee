#include <winsock2.h>
#include <ws2ipdef.h>
#include <ws2tcpip.h>

#include <mswsock.h>

#include <array>
#include <cstring>
#include <string>
#include <utility>

#include "platform/os_error.h"
#include "platform/winsock_win.h"
#include "receiver/udp_socket_os.h"

#ifndef SIO_UDP_NETRESET
#define SIO_UDP_NETRESET _WSAIOW(IOC_VENDOR, 15)
#endif

namespace brindle::udp_os {

namespace {

// By default an ICMP error quoting our port (anyone can forge one) fails the next receive with
// WSAECONNRESET or WSAENETRESET. We never send, so those reports mean nothing to us.
void ignore_icmp_reports(SOCKET s) {
  for (const DWORD control : {DWORD{SIO_UDP_CONNRESET}, DWORD{SIO_UDP_NETRESET}}) {
    BOOL report = FALSE;
    DWORD returned = 0;
    (void)::WSAIoctl(s, control, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
  }
}

SOCKET socket_of(Handle handle) {
  return static_cast<SOCKET>(handle);
}

SocketAddress to_socket_address(const sockaddr_storage& storage) {
  if (storage.ss_family == AF_INET6) {
    sockaddr_in6 v6{};
    std::memcpy(&v6, &storage, sizeof v6);
    return make_v6_address(std::span<const uint8_t, 16>(v6.sin6_addr.s6_addr, 16),
                           ntohs(v6.sin6_port), ntohl(v6.sin6_flowinfo), v6.sin6_scope_id);
  }
  sockaddr_in v4{};
  std::memcpy(&v4, &storage, sizeof v4);
  std::array<uint8_t, 4> ip{};
  std::memcpy(ip.data(), &v4.sin_addr.s_addr, ip.size());
  return make_v4_address(ip, ntohs(v4.sin_port));
}

}  // namespace

Result<Handle> open_socket(Family family) {
  if (const std::string& failure = ensure_winsock(); !failure.empty()) return make_error(failure);
  const int domain = family == Family::V6 ? AF_INET6 : AF_INET;
  const SOCKET s = ::WSASocketW(domain, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return make_error(last_socket_error_text());
  // Without it another program could bind the port beside us with SO_REUSEADDR and read the
  // phone's audio.
  const DWORD on = 1;
  if (::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                   sizeof on) != 0) {
    std::string error = last_socket_error_text();
    ::closesocket(s);
    return make_error(std::move(error));
  }
  ignore_icmp_reports(s);
  return static_cast<Handle>(s);
}

void clear_v6_only(Handle handle) {
  const DWORD off = 0;
  (void)::setsockopt(socket_of(handle), IPPROTO_IPV6, IPV6_V6ONLY,
                     reinterpret_cast<const char*>(&off), sizeof off);
}

Status bind_any(Handle handle, Family family, uint16_t port) {
  int rc = 0;
  if (family == Family::V6) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    address.sin6_port = htons(port);
    rc = ::bind(socket_of(handle), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } else {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    rc = ::bind(socket_of(handle), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }
  if (rc != 0) return make_error(last_socket_error_text());
  return {};
}

void close_socket(Handle handle) {
  ::closesocket(socket_of(handle));
}

UdpSocket::Received receive(Handle handle, std::span<uint8_t> buffer) {
  UdpSocket::Received received;
  sockaddr_storage source{};
  int source_len = sizeof source;
  const int n = ::recvfrom(socket_of(handle), reinterpret_cast<char*>(buffer.data()),
                           static_cast<int>(buffer.size()), 0, reinterpret_cast<sockaddr*>(&source),
                           &source_len);
  if (n == SOCKET_ERROR) {
    const int code = ::WSAGetLastError();
    // Winsock fails an over-long datagram with WSAEMSGSIZE instead of handing over its head.
    // One oversized datagram from anyone on the network must not end reception, so it is
    // dropped like any other datagram that is not ours. ICMP reports, should a system refuse to
    // turn them off, are as harmless.
    if (code == WSAEWOULDBLOCK || code == WSAEINTR || code == WSAEMSGSIZE ||
        code == WSAECONNRESET || code == WSAENETRESET) {
      received.status = UdpSocket::ReceiveStatus::RETRY;
      return received;
    }
    received.status = UdpSocket::ReceiveStatus::FAILED;
    received.error = os_error_text(code);
    // After an adapter reset (WSAENETDOWN) Winsock wants the socket closed and made again.
    received.socket_lost =
        code == WSAENETDOWN || code == WSAENOTSOCK || code == WSAEINVAL || code == WSAESHUTDOWN;
    return received;
  }
  received.status = UdpSocket::ReceiveStatus::DATAGRAM;
  received.length = static_cast<size_t>(n);
  received.source = to_socket_address(source);
  return received;
}

}  // namespace brindle::udp_os
