#include "platform/udp_socket.h"

#include <utility>

namespace brindle {

OwnedSocket& OwnedSocket::operator=(OwnedSocket&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.release();
  }
  return *this;
}

OwnedSocket::~OwnedSocket() {
  close();
}

OwnedSocket::Handle OwnedSocket::release() {
  return std::exchange(handle_, INVALID);
}

void OwnedSocket::close() {
  if (valid()) close_handle(release());
}

}  // namespace brindle
