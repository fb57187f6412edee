#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/os_error.h"
#include "platform/socket_address_os.h"
#include "platform/udp_socket.h"

namespace brindle {

namespace {

int fd_of(OwnedSocket::Handle handle) {
  return static_cast<int>(handle);
}

struct AddrInfoDeleter {
  void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

}  // namespace

Result<OwnedSocket> OwnedSocket::open(Family family) {
  const int domain = family == Family::V6 ? AF_INET6 : AF_INET;
  const int fd = ::socket(domain, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return make_error(last_socket_error_text());
  return OwnedSocket(static_cast<Handle>(fd));
}

void OwnedSocket::close_handle(Handle handle) {
  ::close(fd_of(handle));
}

Status OwnedSocket::set_option_bytes(int level, int name, const void* value, size_t size) const {
  if (::setsockopt(fd_of(handle_), level, name, value, static_cast<socklen_t>(size)) != 0) {
    return make_error(last_socket_error_text());
  }
  return {};
}

Status OwnedSocket::bind(const SocketAddress& local) const {
  const OsSocketAddress address = to_os_address(local);
  if (::bind(fd_of(handle_), address.get(), static_cast<socklen_t>(address.length)) != 0) {
    return make_error(last_socket_error_text());
  }
  return {};
}

Status OwnedSocket::send_to(const SocketAddress& destination,
                            std::span<const uint8_t> bytes) const {
  const OsSocketAddress to = to_os_address(destination);
  for (;;) {
    const ssize_t n = ::sendto(fd_of(handle_), bytes.data(), bytes.size(), MSG_NOSIGNAL, to.get(),
                               static_cast<socklen_t>(to.length));
    if (n >= 0) return {};
    if (errno != EINTR) return make_error(last_socket_error_text());
  }
}

Result<std::vector<SocketAddress>> resolve_udp(const std::string& host, uint16_t port) {
  const addrinfo hints = udp_hints();
  addrinfo* raw = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &raw);
  if (rc != 0) return make_error(rc == EAI_SYSTEM ? last_os_error_text() : ::gai_strerror(rc));
  const std::unique_ptr<addrinfo, AddrInfoDeleter> list(raw);
  return from_address_list(list.get());
}

}  // namespace brindle
