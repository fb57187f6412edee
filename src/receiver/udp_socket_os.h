// The receiver's socket rules that differ between BSD sockets and Winsock. udp_socket.cpp builds
// the bind sequence and the receive on top of them; each platform file implements them all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/result.h"
#include "platform/socket_address.h"
#include "platform/udp_socket.h"

namespace brindle::udp_os {

// Keeps every other program off the port (Windows); nothing to do where that is the default.
Status claim_port(const OwnedSocket& socket);
// Lets an IPv6 socket take IPv4 datagrams too; failure is harmless and ignored.
void clear_v6_only(const OwnedSocket& socket);

struct Datagram {
  int error = 0;  // the OS error code; 0 when a datagram came
  size_t length = 0;
  SocketAddress source;
};
// One recvfrom into `buffer`; a datagram the platform truncates to the buffer is delivered.
Datagram receive(OwnedSocket::Handle handle, std::span<uint8_t> buffer);

enum class Failure { RETRY, FAILED, LOST };
// What a receive error means: interruptions, would-block and over-long datagrams are RETRY;
// LOST when the socket is unusable and must be made again.
Failure classify(int error);

}  // namespace brindle::udp_os
