// The receive loop: counts datagrams and losses, applies the gain and feeds the jitter buffer.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>

#include "jitter/jitter_buffer.h"
#include "platform/socket_address.h"
#include "protocol/packet.h"
#include "receiver/udp_socket.h"

namespace brindle {

inline constexpr uint16_t UDP_PORT = 45333;

// Written by the receiver thread only; read by the status line.
class ReceiverStats {
 public:
  std::atomic<uint64_t> packets{0};
  std::atomic<uint64_t> lost{0};

  float peak() const;
  void set_peak(float value);

  std::optional<SocketAddress> last_addr() const;
  void set_last_addr(const SocketAddress& address);

 private:
  std::atomic<uint32_t> peak_bits_{0};  // the float's bits; 0 is 0.0f
  mutable std::mutex addr_mutex_;
  std::optional<SocketAddress> last_addr_;  // guarded by addr_mutex_
};

// Ends the receive loop from another thread: a pause ends at once, a blocked receive after its
// next datagram or error. The product never stops the loop; tests do.
class ReceiveStop {
 public:
  void request();
  bool requested() const;
  // Sleeps for `pause` unless a stop comes first; false when stopped.
  bool sleep_for(std::chrono::milliseconds pause);

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  // Set under mutex_ so a sleeper cannot miss it; read without it on every datagram.
  std::atomic<bool> requested_ = false;
};

class Receiver {
 public:
  // A new socket on the same port, with the same rules, after the old one was lost.
  using Rebind = std::function<Result<UdpSocket>()>;

  Receiver(std::shared_ptr<JitterBuffer> jitter, float gain);

  const std::shared_ptr<ReceiverStats>& stats() const { return stats_; }
  const std::shared_ptr<ReceiveStop>& stop() const { return stop_; }

  // Called on the receiver thread after each accepted datagram has been queued; must be cheap.
  void set_datagram_hook(std::function<void()> hook) { datagram_hook_ = std::move(hook); }

  // One received datagram from `source`: parse, count, gain, peak, push. Receiver thread only.
  void handle_datagram(std::span<const uint8_t> bytes, const SocketAddress& source);

  // The receive loop. A receive error never ends it: it is reported once per episode, followed
  // by a growing pause and, when the socket is gone, by `rebind`. Returns only on a stop.
  void run(UdpSocket socket, const Rebind& rebind);

 private:
  std::shared_ptr<JitterBuffer> jitter_;
  std::shared_ptr<ReceiverStats> stats_;
  std::shared_ptr<ReceiveStop> stop_;
  float gain_;
  std::function<void()> datagram_hook_;
  uint32_t last_seq_ = 0;
  bool have_last_ = false;
};

}  // namespace brindle
