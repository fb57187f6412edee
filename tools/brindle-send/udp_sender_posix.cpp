#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "platform/os_error.h"
#include "udp_sender.h"

namespace brindle::send {

struct UdpSender::Impl {
  int fd = -1;
  sockaddr_storage address{};
  socklen_t address_len = 0;
  std::string destination;

  ~Impl() {
    if (fd >= 0) ::close(fd);
  }
};

namespace {

struct AddrInfoDeleter {
  void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

std::string numeric_destination(const sockaddr* address, socklen_t length) {
  char host[NI_MAXHOST] = {};
  char service[NI_MAXSERV] = {};
  if (::getnameinfo(address, length, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "?";
  }
  return address->sa_family == AF_INET6 ? fmt::format("[{}]:{}", host, service)
                                        : fmt::format("{}:{}", host, service);
}

}  // namespace

Result<UdpSender> UdpSender::open(const std::string& host, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* raw = nullptr;
  const std::string service = std::to_string(port);
  const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &raw);
  if (rc != 0) {
    const std::string reason = rc == EAI_SYSTEM ? last_os_error_text() : ::gai_strerror(rc);
    return make_error(fmt::format("cannot resolve {}: {}", host, reason));
  }
  const std::unique_ptr<addrinfo, AddrInfoDeleter> list(raw);

  std::string last_error = "no address";
  for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
    const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      last_error = last_socket_error_text();
      continue;
    }
    auto impl = std::make_unique<Impl>();
    impl->fd = fd;
    std::memcpy(&impl->address, ai->ai_addr, ai->ai_addrlen);
    impl->address_len = ai->ai_addrlen;
    impl->destination = numeric_destination(ai->ai_addr, ai->ai_addrlen);
    return UdpSender(std::move(impl));
  }
  return make_error(fmt::format("cannot open a UDP socket for {}: {}", host, last_error));
}

Status UdpSender::send(std::span<const uint8_t> datagram) const {
  for (;;) {
    const ssize_t n =
        ::sendto(impl_->fd, datagram.data(), datagram.size(), 0,
                 reinterpret_cast<const sockaddr*>(&impl_->address), impl_->address_len);
    if (n >= 0) return {};
    if (errno != EINTR) return make_error(last_socket_error_text());
  }
}

UdpSender::UdpSender(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
UdpSender::UdpSender(UdpSender&&) noexcept = default;
UdpSender& UdpSender::operator=(UdpSender&&) noexcept = default;
UdpSender::~UdpSender() = default;

const std::string& UdpSender::destination() const {
  return impl_->destination;
}

}  // namespace brindle::send
