#include <winsock2.h>
#include <ws2ipdef.h>
#include <ws2tcpip.h>

#include "platform/socket_address_os.h"
#include "receiver/udp_socket_os.h"

namespace brindle::udp_os {

Status claim_port(const OwnedSocket& socket) {
  // Without it another program could bind the port beside us with SO_REUSEADDR and read the
  // phone's audio.
  return socket.set_option(SOL_SOCKET, SO_EXCLUSIVEADDRUSE, DWORD{1});
}

void clear_v6_only(const OwnedSocket& socket) {
  (void)socket.set_option(IPPROTO_IPV6, IPV6_V6ONLY, DWORD{0});
}

Datagram receive(OwnedSocket::Handle handle, std::span<uint8_t> buffer) {
  sockaddr_storage source{};
  int source_len = sizeof source;
  const int n = ::recvfrom(static_cast<SOCKET>(handle), reinterpret_cast<char*>(buffer.data()),
                           static_cast<int>(buffer.size()), 0, reinterpret_cast<sockaddr*>(&source),
                           &source_len);
  if (n == SOCKET_ERROR) return Datagram{::WSAGetLastError(), 0, {}};
  return Datagram{0, static_cast<size_t>(n), from_os_address(source)};
}

Failure classify(int error) {
  // Winsock fails an over-long datagram with WSAEMSGSIZE instead of handing over its head.
  // One oversized datagram from anyone on the network must not end reception, so it is
  // dropped like any other datagram that is not ours. ICMP reports, should a system refuse to
  // turn them off, are as harmless.
  if (error == WSAEWOULDBLOCK || error == WSAEINTR || error == WSAEMSGSIZE ||
      error == WSAECONNRESET || error == WSAENETRESET) {
    return Failure::RETRY;
  }
  // After an adapter reset (WSAENETDOWN) Winsock wants the socket closed and made again.
  const bool lost =
      error == WSAENETDOWN || error == WSAENOTSOCK || error == WSAEINVAL || error == WSAESHUTDOWN;
  return lost ? Failure::LOST : Failure::FAILED;
}

}  // namespace brindle::udp_os
