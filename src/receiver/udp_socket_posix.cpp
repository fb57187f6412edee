#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

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

Datagram receive(OwnedSocket::Handle handle, std::span<uint8_t> buffer) {
  sockaddr_storage source{};
  socklen_t source_len = sizeof source;
  // Linux cuts an over-long datagram to the buffer without an error; the head is still parsed.
  const ssize_t n = ::recvfrom(static_cast<int>(handle), buffer.data(), buffer.size(), 0,
                               reinterpret_cast<sockaddr*>(&source), &source_len);
  if (n < 0) return Datagram{errno, 0, {}};
  return Datagram{0, static_cast<size_t>(n), from_os_address(source)};
}

Failure classify(int error) {
  if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK) return Failure::RETRY;
  return error == EBADF || error == ENOTSOCK ? Failure::LOST : Failure::FAILED;
}

}  // namespace brindle::udp_os
