// Builds wire datagrams for tests, benchmarks and fuzz seeds.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

namespace brindle::testing {

inline void put_u16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

inline void put_u32(std::vector<uint8_t>& out, uint32_t value) {
  put_u16(out, static_cast<uint16_t>(value));
  put_u16(out, static_cast<uint16_t>(value >> 16));
}

// "BRD1", seq, the declared count (the real count unless given), two reserved bytes, samples.
inline std::vector<uint8_t> make_datagram(uint32_t seq, std::span<const int16_t> samples,
                                          std::optional<uint16_t> declared = std::nullopt) {
  std::vector<uint8_t> out = {'B', 'R', 'D', '1'};
  put_u32(out, seq);
  put_u16(out, declared.value_or(static_cast<uint16_t>(samples.size())));
  put_u16(out, 0);
  for (const int16_t s : samples) put_u16(out, static_cast<uint16_t>(s));
  return out;
}

inline std::vector<uint8_t> make_datagram(uint32_t seq, std::initializer_list<int16_t> samples) {
  return make_datagram(seq, std::span<const int16_t>(samples.begin(), samples.size()));
}

}  // namespace brindle::testing
