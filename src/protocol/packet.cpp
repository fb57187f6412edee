#include "protocol/packet.h"

namespace brindle {

namespace {

// "BRD1" read as one little-endian word.
constexpr uint32_t MAGIC = 0x31445242;
// Exactly 2^-15, so every 16-bit value maps to a float without rounding.
constexpr float SAMPLE_SCALE = 1.0f / 32768.0f;

uint32_t read_u32_le(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes[offset + 2]) << 16 |
         static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

uint16_t read_u16_le(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

}  // namespace

std::optional<AudioPacket> parse_packet(std::span<const uint8_t> bytes) {
  if (bytes.size() < HEADER_LEN) return std::nullopt;
  if (read_u32_le(bytes, 0) != MAGIC) return std::nullopt;

  AudioPacket packet;
  packet.seq = read_u32_le(bytes, 4);
  const size_t declared = read_u16_le(bytes, 8);
  const size_t present = (bytes.size() - HEADER_LEN) / 2;
  const size_t count = declared < present ? declared : present;
  if (count == 0) return packet;

  packet.samples.resize(count);
  for (size_t i = 0; i < count; ++i) {
    const auto raw = static_cast<int16_t>(read_u16_le(bytes, HEADER_LEN + 2 * i));
    packet.samples[i] = static_cast<float>(raw) * SAMPLE_SCALE;
  }
  return packet;
}

}  // namespace brindle
