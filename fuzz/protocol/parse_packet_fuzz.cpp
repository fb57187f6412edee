// Any bytes a network can deliver: the parser must stay within the datagram and the receive
// path must cope with whatever it accepts.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include "jitter/jitter_buffer.h"
#include "protocol/packet.h"
#include "receiver/receiver.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

uint16_t declared_count(std::span<const uint8_t> bytes) {
  return static_cast<uint16_t>(bytes[8] | bytes[9] << 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace brindle;
  if (size > MAX_DATAGRAM) size = MAX_DATAGRAM;  // what one receive can hand over
  const std::span<const uint8_t> bytes(data, size);

  const auto packet = parse_packet(bytes);
  const bool has_magic =
      size >= HEADER_LEN && data[0] == 'B' && data[1] == 'R' && data[2] == 'D' && data[3] == '1';
  check(packet.has_value() == has_magic);
  if (packet) {
    const size_t n = packet->samples.size();
    check(n <= (size - HEADER_LEN) / 2);
    check(n <= declared_count(bytes));
    check(n == std::min<size_t>((size - HEADER_LEN) / 2, declared_count(bytes)));
    check(packet->samples.capacity() == n);
    for (const float s : packet->samples) check(s >= -1.0f && s <= 32767.0f / 32768.0f);
  }

  // Receivers live across inputs, as in a long stream, so loss state carries over; the last
  // byte picks one with a gain so that clamping runs too.
  static const auto jitter = std::make_shared<JitterBuffer>(40);
  static Receiver unity(jitter, 1.0f);
  static Receiver louder(jitter, 4.0f);
  Receiver& receiver = size > 0 && (data[size - 1] & 1) ? louder : unity;
  const uint64_t before = receiver.stats()->packets.load();
  receiver.handle_datagram(bytes, SocketAddress{});
  check(receiver.stats()->packets.load() == before + (packet ? 1 : 0));
  const float peak = receiver.stats()->peak();
  check(peak >= 0.0f && peak <= 1.0f);
  check(jitter->fill_ms() <= 1000.0);
  float block[480];
  jitter->pop_into(block);
  for (const float s : block) check(s >= -1.0f && s <= 1.0f);
  return 0;
}
