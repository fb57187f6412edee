#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/os_error.h"
#include "receiver/udp_socket_os.h"

namespace brindle::udp_os {

namespace {

int fd_of(Handle handle) {
  return static_cast<int>(handle);
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
  const int domain = family == Family::V6 ? AF_INET6 : AF_INET;
  const int fd = ::socket(domain, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return make_error(last_socket_error_text());
  return static_cast<Handle>(fd);
}

void clear_v6_only(Handle handle) {
  const int off = 0;
  (void)::setsockopt(fd_of(handle), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
}

Status bind_any(Handle handle, Family family, uint16_t port) {
  int rc = 0;
  if (family == Family::V6) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    address.sin6_port = htons(port);
    rc = ::bind(fd_of(handle), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } else {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    rc = ::bind(fd_of(handle), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }
  if (rc != 0) return make_error(last_socket_error_text());
  return {};
}

void close_socket(Handle handle) {
  ::close(fd_of(handle));
}

UdpSocket::Received receive(Handle handle, std::span<uint8_t> buffer) {
  UdpSocket::Received received;
  sockaddr_storage source{};
  socklen_t source_len = sizeof source;
  // Linux cuts an over-long datagram to the buffer without an error; the head is still parsed.
  const ssize_t n = ::recvfrom(fd_of(handle), buffer.data(), buffer.size(), 0,
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
  received.source = to_socket_address(source);
  return received;
}

}  // namespace brindle::udp_os
