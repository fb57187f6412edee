// The phone's audio datagram: "BRD1", seq, sample count, reserved, 16-bit LE mono PCM at 48 kHz.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace brindle {

inline constexpr uint32_t STREAM_RATE = 48000;
inline constexpr size_t HEADER_LEN = 12;
inline constexpr size_t MAX_DATAGRAM = 2048;

struct AudioPacket {
  uint32_t seq = 0;
  std::vector<float> samples;  // -1.0 .. 32767/32768, wire order
};

// Validates length and magic and decodes the samples; nothing for a datagram to drop.
// Pure: no state between calls.
std::optional<AudioPacket> parse_packet(std::span<const uint8_t> bytes);

}  // namespace brindle
