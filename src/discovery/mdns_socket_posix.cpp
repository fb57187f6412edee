#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "discovery/mdns_replies.h"
#include "discovery/mdns_socket.h"
#include "platform/os_error.h"
#include "platform/socket_address_os.h"

namespace brindle {

Status MdnsSocket::set_options() {
  const OwnedSocket& s = socket_;
  const int on = 1;
  const int ttl = 255;
  const unsigned char multicast_ttl = 255;
  const unsigned char loop = 1;
  // SO_REUSEPORT as well: a resident responder that set it would otherwise refuse our bind.
  if (!s.set_option(SOL_SOCKET, SO_REUSEADDR, on) || !s.set_option(SOL_SOCKET, SO_REUSEPORT, on) ||
      !s.set_option(IPPROTO_IP, IP_MULTICAST_TTL, multicast_ttl) ||
      !s.set_option(IPPROTO_IP, IP_TTL, ttl) ||
      !s.set_option(IPPROTO_IP, IP_MULTICAST_LOOP, loop) ||
      !s.set_option(IPPROTO_IP, IP_PKTINFO, on)) {
    return make_error(last_socket_error_text());
  }
#ifdef IP_MULTICAST_ALL
  // Linux otherwise hands the socket every group any socket joined, on any interface.
  const int off = 0;
  if (!s.set_option(IPPROTO_IP, IP_MULTICAST_ALL, off)) {
    return make_error(last_socket_error_text());
  }
#endif
  return {};
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
  return socket_.set_option(IPPROTO_IP, IP_ADD_MEMBERSHIP, membership(iface));
}

Status MdnsSocket::leave_group(const MulticastInterface& iface) {
  // By index alone: the kernel finds the interface by its old address no more.
  MulticastInterface by_index = iface;
  if (iface.index != 0) by_index.address = {};
  return socket_.set_option(IPPROTO_IP, IP_DROP_MEMBERSHIP, membership(by_index));
}

Status MdnsSocket::choose_interface(const MulticastInterface& iface) {
  return socket_.set_option(IPPROTO_IP, IP_MULTICAST_IF, membership(iface));
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
  const ssize_t n = ::recvmsg(static_cast<int>(handle()), &message, MSG_TRUNC | MSG_DONTWAIT);
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
