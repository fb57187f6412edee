// The receiver's socket rules that differ between BSD sockets and Winsock. udp_socket.cpp builds
// the bind sequence on top of them; each platform file implements them all.
#pragma once

#include <cstdint>
#include <span>

#include "platform/result.h"
#include "platform/udp_socket.h"
#include "receiver/udp_socket.h"

namespace brindle::udp_os {

// Keeps every other program off the port (Windows); nothing to do where that is the default.
Status claim_port(const OwnedSocket& socket);
// Lets an IPv6 socket take IPv4 datagrams too; failure is harmless and ignored.
void clear_v6_only(const OwnedSocket& socket);
// One recvfrom into `buffer`. Interruptions, would-block and over-long datagrams are RETRY;
// a datagram the platform truncates to the buffer is delivered.
UdpSocket::Received receive(UdpSocket::Handle handle, std::span<uint8_t> buffer);

}  // namespace brindle::udp_os
