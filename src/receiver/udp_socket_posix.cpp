#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/os_error.h"
#include "platform/socket_address_os.h"
#include "receiver/udp_socket_os.h"

namespace brindle::udp_os {

Status claim_port(const OwnedSocket&) {
  // Without SO_REUSEADDR on both sides no other socket can bind beside ours.
  return {};
}

void clear_v6_only(const OwnedSocket& socket) {
  (void)socket.set_option(IPPROTO_IPV6, IPV6_V6ONLY, 0);
}

UdpSocket::Received receive(UdpSocket::Handle handle, std::span<uint8_t> buffer) {
  UdpSocket::Received received;
  sockaddr_storage source{};
  socklen_t source_len = sizeof source;
  // Linux cuts an over-long datagram to the buffer without an error; the head is still parsed.
  const ssize_t n = ::recvfrom(static_cast<int>(handle), buffer.data(), buffer.size(), 0,
                               reinterpret_cast<sockaddr*>(&source), &source_len);
  if (n < 0) {
    const int code = errno;
    if (code == EINTR || code == EAGAIN || code == EWOULDBLOCK) {
      received.status = UdpSocket::ReceiveStatus::RETRY;
      return received;
    }
    received.status = UdpSocket::ReceiveStatus::FAILED;
    received.error = os_error_text(code);
    received.socket_lost = code == EBADF || code == ENOTSOCK;
    return received;
  }
  received.status = UdpSocket::ReceiveStatus::DATAGRAM;
  received.length = static_cast<size_t>(n);
  received.source = from_os_address(source);
  return received;
}

}  // namespace brindle::udp_os
