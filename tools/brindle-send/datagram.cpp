#include "datagram.h"

#include "protocol/packet.h"

namespace brindle::send {
namespace {

void put_le(Datagram& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

Datagram encode_datagram(uint32_t seq, std::span<const int16_t> samples) {
  Datagram out;
  out.reserve(HEADER_LEN + 2 * samples.size());
  out.insert(out.end(), {'B', 'R', 'D', '1'});
  put_le(out, seq, 4);
  put_le(out, static_cast<uint16_t>(samples.size()), 2);
  put_le(out, 0, 2);  // reserved
  for (const int16_t s : samples) put_le(out, static_cast<uint16_t>(s), 2);
  return out;
}

}  // namespace brindle::send
