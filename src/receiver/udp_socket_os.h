// The few socket calls that differ between BSD sockets and Winsock. udp_socket.cpp builds the
// socket type and the bind sequence on top of them; each platform file implements them all.
#pragma once

#include <cstdint>
#include <span>

#include "platform/result.h"
#include "receiver/udp_socket.h"

namespace brindle::udp_os {

using Handle = UdpSocket::Handle;

enum class Family { V4, V6 };

// A blocking UDP socket of the family that child processes do not inherit.
// Does any one-time socket library start-up first.
Result<Handle> open_socket(Family family);
// Lets an IPv6 socket take IPv4 datagrams too; failure is harmless and ignored.
void clear_v6_only(Handle handle);
// Binds the family's unspecified address ([::] or 0.0.0.0) on `port`.
Status bind_any(Handle handle, Family family, uint16_t port);
void close_socket(Handle handle);
// One recvfrom into `buffer`. Interruptions, would-block and over-long datagrams are RETRY;
// a datagram the platform truncates to the buffer is delivered.
UdpSocket::Received receive(Handle handle, std::span<uint8_t> buffer);

}  // namespace brindle::udp_os
