#include "datagram.h"

#include "protocol/packet.h"

namespace brindle::send {
namespace {

void put_le(Datagram& out, size_t offset, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

Datagram encode_datagram(uint32_t seq, std::span<const int16_t> samples) {
  Datagram out(HEADER_LEN + 2 * samples.size(), 0);  // reserved bytes stay 0
  out[0] = 'B';
  out[1] = 'R';
  out[2] = 'D';
  out[3] = '1';
  put_le(out, 4, seq, 4);
  put_le(out, 8, static_cast<uint16_t>(samples.size()), 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    put_le(out, HEADER_LEN + 2 * i, static_cast<uint16_t>(samples[i]), 2);
  }
  return out;
}

}  // namespace brindle::send
