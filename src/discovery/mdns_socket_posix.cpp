#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "discovery/mdns_replies.h"
#include "discovery/mdns_socket.h"
#include "platform/os_error.h"

namespace brindle {
namespace {

in_addr to_in_addr(const Ipv4Address& address) {
  in_addr out{};
  std::memcpy(&out, address.data(), 4);
  return out;
}

sockaddr_in to_sockaddr(const Ipv4Endpoint& endpoint) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(endpoint.port);
  sin.sin_addr = to_in_addr(endpoint.address);
  return sin;
}

template <class T>
bool set_option(int fd, int level, int name, const T& value) {
  return ::setsockopt(fd, level, name, &value, sizeof value) == 0;
}

Status send_datagram(int fd, const Ipv4Endpoint& destination, std::span<const uint8_t> bytes) {
  const sockaddr_in to = to_sockaddr(destination);
  for (;;) {
    const ssize_t n = ::sendto(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (n >= 0) return {};
    if (errno != EINTR) return make_error(last_socket_error_text());
  }
}

}  // namespace

Result<MdnsSocket> MdnsSocket::open() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return make_error(last_socket_error_text());
  MdnsSocket socket(fd);
  const int on = 1;
  const int ttl = 255;
  const unsigned char multicast_ttl = 255;
  const unsigned char loop = 1;
  // SO_REUSEPORT as well: a resident responder that set it would otherwise refuse our bind.
  if (!set_option(fd, SOL_SOCKET, SO_REUSEADDR, on) ||
      !set_option(fd, SOL_SOCKET, SO_REUSEPORT, on) ||
      !set_option(fd, IPPROTO_IP, IP_MULTICAST_TTL, multicast_ttl) ||
      !set_option(fd, IPPROTO_IP, IP_TTL, ttl) ||
      !set_option(fd, IPPROTO_IP, IP_MULTICAST_LOOP, loop) ||
      !set_option(fd, IPPROTO_IP, IP_PKTINFO, on)) {
    return make_error(last_socket_error_text());
  }
#ifdef IP_MULTICAST_ALL
  // Linux otherwise hands the socket every group any socket joined, on any interface.
  const int off = 0;
  if (!set_option(fd, IPPROTO_IP, IP_MULTICAST_ALL, off)) {
    return make_error(last_socket_error_text());
  }
#endif
  const sockaddr_in any = to_sockaddr(Ipv4Endpoint{{0, 0, 0, 0}, MDNS_PORT});
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
    return make_error(last_socket_error_text());
  }
  return socket;
}

MdnsSocket& MdnsSocket::operator=(MdnsSocket&& other) noexcept {
  if (this != &other) {
    if (valid()) ::close(static_cast<int>(handle_));
    handle_ = other.handle_;
    other.handle_ = INVALID;
  }
  return *this;
}

MdnsSocket::~MdnsSocket() {
  if (valid()) ::close(static_cast<int>(handle_));
}

namespace {

ip_mreqn membership(const MulticastInterface& iface) {
  ip_mreqn request{};
  request.imr_multiaddr = to_in_addr(MDNS_GROUP);
  request.imr_address = to_in_addr(iface.address);
  request.imr_ifindex = static_cast<int>(iface.index);
  return request;
}

}  // namespace

Status MdnsSocket::join_group(const MulticastInterface& iface) {
  if (!set_option(static_cast<int>(handle_), IPPROTO_IP, IP_ADD_MEMBERSHIP, membership(iface))) {
    return make_error(last_socket_error_text());
  }
  return {};
}

Status MdnsSocket::leave_group(const MulticastInterface& iface) {
  // By index alone: the kernel finds the interface by its old address no more.
  MulticastInterface by_index = iface;
  if (iface.index != 0) by_index.address = {};
  if (!set_option(static_cast<int>(handle_), IPPROTO_IP, IP_DROP_MEMBERSHIP,
                  membership(by_index))) {
    return make_error(last_socket_error_text());
  }
  return {};
}

Status MdnsSocket::send_multicast(const MulticastInterface& iface, std::span<const uint8_t> bytes) {
  const int fd = static_cast<int>(handle_);
  if (!set_option(fd, IPPROTO_IP, IP_MULTICAST_IF, membership(iface))) {
    return make_error(last_socket_error_text());
  }
  return send_datagram(fd, Ipv4Endpoint{MDNS_GROUP, MDNS_PORT}, bytes);
}

Status MdnsSocket::send_to(const Ipv4Endpoint& destination, std::span<const uint8_t> bytes) {
  return send_datagram(static_cast<int>(handle_), destination, bytes);
}

MdnsSocket::Received MdnsSocket::try_receive(std::span<uint8_t> buffer) {
  Received result;
  sockaddr_in from{};
  iovec data{buffer.data(), buffer.size()};
  alignas(cmsghdr) std::array<unsigned char, CMSG_SPACE(sizeof(in_pktinfo))> control{};
  msghdr message{};
  message.msg_name = &from;
  message.msg_namelen = sizeof from;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control.data();
  message.msg_controllen = control.size();
  // MSG_TRUNC makes the call report the datagram's real length.
  const ssize_t n = ::recvmsg(static_cast<int>(handle_), &message, MSG_TRUNC | MSG_DONTWAIT);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      result.status = ReceiveStatus::NOTHING;
      return result;
    }
    result.error = last_socket_error_text();
    return result;
  }
  result.status = ReceiveStatus::DATAGRAM;
  result.truncated = static_cast<size_t>(n) > buffer.size();
  result.length = result.truncated ? buffer.size() : static_cast<size_t>(n);
  std::memcpy(result.source.address.data(), &from.sin_addr, 4);
  result.source.port = ntohs(from.sin_port);
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      result.arrival_index = static_cast<uint32_t>(info.ipi_ifindex);
    }
  }
  return result;
}

}  // namespace brindle
