// The one UDP socket type of every module: an owned handle, opened so that child processes never
// inherit it, with the calls the receiver, the responder and the sender share. What is a
// module's own (bind rules, memberships, packet info) stays in its files, on top of handle().
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/result.h"
#include "platform/socket_address.h"

namespace brindle {

class OwnedSocket {
 public:
  using Handle = intptr_t;  // int on POSIX, SOCKET on Windows
  static constexpr Handle INVALID = -1;
  enum class Family { V4, V6 };

  // A blocking UDP socket. Starts Winsock first; on Windows, ICMP reports about earlier sends
  // (anyone can forge one) do not fail later receives.
  static Result<OwnedSocket> open(Family family);

  OwnedSocket() = default;
  explicit OwnedSocket(Handle handle) : handle_(handle) {}
  OwnedSocket(OwnedSocket&& other) noexcept : handle_(other.release()) {}
  OwnedSocket& operator=(OwnedSocket&& other) noexcept;
  OwnedSocket(const OwnedSocket&) = delete;
  OwnedSocket& operator=(const OwnedSocket&) = delete;
  ~OwnedSocket();

  bool valid() const { return handle_ != INVALID; }
  Handle handle() const { return handle_; }
  Handle release();
  void close();

  // setsockopt with the value's own size; the error is the OS text.
  template <class T>
  Status set_option(int level, int name, const T& value) const {
    return set_option_bytes(level, name, &value, sizeof value);
  }
  Status bind(const SocketAddress& local) const;
  // Interrupted sends are repeated.
  Status send_to(const SocketAddress& destination, std::span<const uint8_t> bytes) const;

 private:
  Status set_option_bytes(int level, int name, const void* value, size_t size) const;
  static void close_handle(Handle handle);
  Handle handle_ = INVALID;
};

// The UDP addresses of `host` (a literal or a name), in the resolver's order. The error is the
// resolver's text.
Result<std::vector<SocketAddress>> resolve_udp(const std::string& host, uint16_t port);

}  // namespace brindle
