// What wakes the responder thread: a datagram on one of its sockets, a call from another thread, or
// a change of the machine's addresses reported by the system. The OS seam of its waiting: the
// thread sleeps here and nowhere else.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "discovery/mdns_socket.h"
#include "platform/result.h"

namespace brindle {

class ResponderWakeups {
 public:
  struct Impl;

  // Address watching that the system refuses leaves the responder with its start-up addresses;
  // only a missing wake-up is an error.
  static Result<std::unique_ptr<ResponderWakeups>> create();

  // The responder thread, once per socket before its first wait on it; closing the socket ends
  // the watch.
  Status watch(const MdnsSocket& socket);

  explicit ResponderWakeups(std::unique_ptr<Impl> impl);
  ResponderWakeups(const ResponderWakeups&) = delete;
  ResponderWakeups& operator=(const ResponderWakeups&) = delete;
  ~ResponderWakeups();

  // Any thread: the next or current wait returns.
  void wake();

  struct Woken {
    std::vector<size_t> readable;  // positions in `sockets` that may have datagrams
    bool addresses = false;        // the system reported an address or link change
  };
  // Sleeps until something happens on these sockets, a wake or a change report, or `timeout`
  // passes (none: no limit). No sockets: they are paused.
  Woken wait(std::optional<std::chrono::milliseconds> timeout,
             std::span<const MdnsSocket::Handle> sockets);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace brindle
