// What wakes the responder thread: a datagram on its socket, a call from another thread, or a
// change of the machine's addresses reported by the system. The OS seam of its waiting: the
// thread sleeps here and nowhere else.
#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "discovery/mdns_socket.h"
#include "platform/result.h"

namespace brindle {

class ResponderWakeups {
 public:
  struct Impl;

  // Address watching that the system refuses leaves the responder with its start-up addresses;
  // only a missing wake-up is an error. The socket must outlive this object.
  static Result<std::unique_ptr<ResponderWakeups>> create(const MdnsSocket& socket);

  explicit ResponderWakeups(std::unique_ptr<Impl> impl);
  ResponderWakeups(const ResponderWakeups&) = delete;
  ResponderWakeups& operator=(const ResponderWakeups&) = delete;
  ~ResponderWakeups();

  // Any thread: the next or current wait returns.
  void wake();

  struct Woken {
    bool datagram = false;   // the socket has something to read
    bool addresses = false;  // the system reported an address or link change
  };
  // Sleeps until something happens or `timeout` passes (none: no limit). A paused socket is not
  // watched.
  Woken wait(std::optional<std::chrono::milliseconds> timeout, bool watch_socket);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace brindle
