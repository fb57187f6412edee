// The receive loop: counts datagrams and losses, applies the gain and feeds the jitter buffer.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>

#include "jitter/jitter_buffer.h"
#include "protocol/packet.h"
#include "receiver/socket_address.h"
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

class Receiver {
 public:
  Receiver(std::shared_ptr<JitterBuffer> jitter, float gain);

  const std::shared_ptr<ReceiverStats>& stats() const { return stats_; }

  // Called on the receiver thread after each accepted datagram has been queued; must be cheap.
  void set_datagram_hook(std::function<void()> hook) { datagram_hook_ = std::move(hook); }

  // One received datagram from `source`: parse, count, gain, peak, push. Receiver thread only.
  void handle_datagram(std::span<const uint8_t> bytes, const SocketAddress& source);

  // The receive loop; returns only after a receive error, which it has already reported
  // as "receiver stopped: {err}" on standard error.
  void run(UdpSocket socket);

 private:
  std::shared_ptr<JitterBuffer> jitter_;
  std::shared_ptr<ReceiverStats> stats_;
  float gain_;
  std::function<void()> datagram_hook_;
  uint32_t last_seq_ = 0;
  bool have_last_ = false;
};

}  // namespace brindle
