#include "receiver/udp_socket.h"

#include <utility>

#include "receiver/udp_socket_os.h"

namespace brindle {

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.release();
  }
  return *this;
}

UdpSocket::~UdpSocket() {
  close();
}

UdpSocket::Handle UdpSocket::release() {
  return std::exchange(handle_, INVALID);
}

void UdpSocket::close() {
  if (valid()) udp_os::close_socket(release());
}

UdpSocket::Received UdpSocket::receive_from(std::span<uint8_t> buffer) const {
  if (!valid()) {
    Received closed;
    closed.error = "socket is closed";
    closed.socket_lost = true;
    return closed;
  }
  return udp_os::receive(handle_, buffer);
}

Result<UdpSocket> bind_socket(uint16_t port) {
  using udp_os::Family;
  Result<udp_os::Handle> v6 = udp_os::open_socket(Family::V6);
  if (!v6) return make_error(v6.error());
  UdpSocket v6_socket(*v6);
  udp_os::clear_v6_only(v6_socket.handle());
  if (udp_os::bind_any(v6_socket.handle(), Family::V6, port)) return v6_socket;
  // The IPv6 error is dropped: when the fallback fails too, its error is the one that counts.
  v6_socket.close();

  Result<udp_os::Handle> v4 = udp_os::open_socket(Family::V4);
  if (!v4) return make_error(v4.error());
  UdpSocket v4_socket(*v4);
  const Status bound = udp_os::bind_any(v4_socket.handle(), Family::V4, port);
  if (!bound) return make_error(bound.error());
  return v4_socket;
}

}  // namespace brindle
