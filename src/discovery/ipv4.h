// IPv4 addresses and endpoints as plain values, free of OS types.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brindle {

using Ipv4Address = std::array<uint8_t, 4>;

struct Ipv4Endpoint {
  Ipv4Address address{};
  uint16_t port = 0;

  bool operator==(const Ipv4Endpoint&) const = default;
};

// "192.168.1.20".
std::string format_ipv4(const Ipv4Address& address);

// Strict dotted quad: four decimal parts 0..255, no signs, no spaces, no leading zeros.
std::optional<Ipv4Address> parse_ipv4(std::string_view text);

}  // namespace brindle
