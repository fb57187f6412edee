// Builds the phone's audio datagram: "BRD1", seq, sample count, reserved, 16-bit LE samples.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace brindle::send {

using Datagram = std::vector<uint8_t>;

Datagram encode_datagram(uint32_t seq, std::span<const int16_t> samples);

}  // namespace brindle::send
