#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include <fmt/format.h>

#include "platform/os_error.h"
#include "platform/winsock_win.h"
#include "udp_sender.h"

namespace brindle::send {

struct UdpSender::Impl {
  SOCKET socket = INVALID_SOCKET;
  sockaddr_storage address{};
  int address_len = 0;
  std::string destination;

  ~Impl() {
    if (socket != INVALID_SOCKET) ::closesocket(socket);
  }
};

namespace {

struct AddrInfoDeleter {
  void operator()(ADDRINFOA* list) const { ::freeaddrinfo(list); }
};

std::string numeric_destination(const sockaddr* address, int length) {
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
  if (const std::string& failure = ensure_winsock(); !failure.empty()) {
    return make_error(fmt::format("cannot start Winsock: {}", failure));
  }
  ADDRINFOA hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  hints.ai_flags = AI_NUMERICSERV;
  ADDRINFOA* raw = nullptr;
  const std::string service = std::to_string(port);
  // getaddrinfo reports through its return value, which is a Winsock error code.
  const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &raw);
  if (rc != 0) return make_error(fmt::format("cannot resolve {}: {}", host, os_error_text(rc)));
  const std::unique_ptr<ADDRINFOA, AddrInfoDeleter> list(raw);

  std::string last_error = "no address";
  for (const ADDRINFOA* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
    const SOCKET s = ::WSASocketW(ai->ai_family, ai->ai_socktype, ai->ai_protocol, nullptr, 0,
                                  WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
      last_error = last_socket_error_text();
      continue;
    }
    auto impl = std::make_unique<Impl>();
    impl->socket = s;
    std::memcpy(&impl->address, ai->ai_addr, ai->ai_addrlen);
    impl->address_len = static_cast<int>(ai->ai_addrlen);
    impl->destination = numeric_destination(ai->ai_addr, impl->address_len);
    return UdpSender(std::move(impl));
  }
  return make_error(fmt::format("cannot open a UDP socket for {}: {}", host, last_error));
}

Status UdpSender::send(std::span<const uint8_t> datagram) const {
  const int n = ::sendto(impl_->socket, reinterpret_cast<const char*>(datagram.data()),
                         static_cast<int>(datagram.size()), 0,
                         reinterpret_cast<const sockaddr*>(&impl_->address), impl_->address_len);
  if (n == SOCKET_ERROR) return make_error(last_socket_error_text());
  return {};
}

UdpSender::UdpSender(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
UdpSender::UdpSender(UdpSender&&) noexcept = default;
UdpSender& UdpSender::operator=(UdpSender&&) noexcept = default;
UdpSender::~UdpSender() = default;

const std::string& UdpSender::destination() const {
  return impl_->destination;
}

}  // namespace brindle::send
