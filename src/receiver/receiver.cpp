#include "receiver/receiver.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "platform/console.h"
#include "receiver/receive_recovery.h"

namespace brindle {

namespace {

// A forward jump of half the number space or more is a late datagram from before the wrap or a
// restarted sender, never billions lost.
constexpr uint32_t HALF_RANGE = 0x80000000u;

uint32_t missing_before(uint32_t last_seq, uint32_t seq) {
  const uint32_t expected = last_seq + 1;
  const uint32_t jump = seq - last_seq;  // modulo 2^32
  if (seq <= expected || jump == 0 || jump >= HALF_RANGE) return 0;
  return jump - 1;
}

}  // namespace

float ReceiverStats::peak() const {
  return std::bit_cast<float>(peak_bits_.load(std::memory_order_relaxed));
}

void ReceiverStats::set_peak(float value) {
  peak_bits_.store(std::bit_cast<uint32_t>(value), std::memory_order_relaxed);
}

std::optional<SocketAddress> ReceiverStats::last_addr() const {
  const std::lock_guard lock(addr_mutex_);
  return last_addr_;
}

void ReceiverStats::set_last_addr(const SocketAddress& address) {
  const std::lock_guard lock(addr_mutex_);
  last_addr_ = address;
}

void ReceiveStop::request() {
  {
    const std::lock_guard lock(mutex_);
    requested_ = true;
  }
  wake_.notify_all();
}

bool ReceiveStop::requested() const {
  return requested_.load();
}

bool ReceiveStop::sleep_for(std::chrono::milliseconds pause) {
  std::unique_lock lock(mutex_);
  return !wake_.wait_for(lock, pause, [this] { return requested_.load(); });
}

Receiver::Receiver(std::shared_ptr<JitterBuffer> jitter, float gain)
    : jitter_(std::move(jitter)),
      stats_(std::make_shared<ReceiverStats>()),
      stop_(std::make_shared<ReceiveStop>()),
      gain_(gain) {}

void Receiver::handle_datagram(std::span<const uint8_t> bytes, const SocketAddress& source) {
  std::optional<AudioPacket> packet = parse_packet(bytes);
  if (!packet) return;

  stats_->packets.fetch_add(1, std::memory_order_relaxed);
  // The address lock is released here, before the jitter buffer's lock is taken below.
  stats_->set_last_addr(source);

  if (have_last_) {
    const uint32_t missing = missing_before(last_seq_, packet->seq);
    if (missing != 0) stats_->lost.fetch_add(missing, std::memory_order_relaxed);
  }

  std::vector<float>& samples = packet->samples;
  if (gain_ != 1.0f) {
    for (float& s : samples) s = std::clamp(s * gain_, -1.0f, 1.0f);
  }
  float peak = 0.0f;
  for (const float s : samples) peak = std::max(peak, std::fabs(s));
  stats_->set_peak(peak);

  jitter_->push(samples);
  if (datagram_hook_) datagram_hook_();

  last_seq_ = packet->seq;
  have_last_ = true;
}

void Receiver::run(UdpSocket socket, const Rebind& rebind) {
  std::vector<uint8_t> buffer(MAX_DATAGRAM);
  ReceiveRecovery recovery;
  while (!stop_->requested()) {
    const UdpSocket::Received received = socket.receive_from(buffer);
    if (received.status == UdpSocket::ReceiveStatus::RETRY) continue;
    if (received.status == UdpSocket::ReceiveStatus::DATAGRAM) {
      recovery.on_datagram();
      handle_datagram(std::span<const uint8_t>(buffer.data(), received.length), received.source);
      continue;
    }
    const ReceiveRecovery::Action action =
        recovery.on_failure({received.error, received.socket_lost}, ReceiveRecovery::Clock::now());
    if (action.report) console::write_err(*action.report);
    if (!stop_->sleep_for(action.pause)) return;
    if (action.rebind) {
      // The port must be free before it can be bound again: exclusive use allows one holder.
      socket.close();
      Result<UdpSocket> again = rebind();
      // Still closed on failure: the next receive fails as lost and the episode goes on.
      if (again) socket = std::move(again).value();
    }
  }
}

}  // namespace brindle
