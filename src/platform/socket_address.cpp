#include "platform/socket_address.h"

#include <algorithm>

#include <fmt/format.h>

namespace brindle {

namespace {

bool is_v4_mapped(const std::array<uint8_t, 16>& ip) {
  return std::all_of(ip.begin(), ip.begin() + 10, [](uint8_t b) { return b == 0; }) &&
         ip[10] == 0xff && ip[11] == 0xff;
}

std::string format_v4(const uint8_t* ip) {
  return fmt::format("{}.{}.{}.{}", ip[0], ip[1], ip[2], ip[3]);
}

// Text form with the longest run of two or more zero groups shortened to "::" (the first such run
// on a tie) and lower-case hex without leading zeros.
std::string format_v6(const std::array<uint8_t, 16>& ip) {
  if (is_v4_mapped(ip)) return "::ffff:" + format_v4(ip.data() + 12);

  std::array<uint16_t, 8> groups{};
  for (size_t i = 0; i < groups.size(); ++i) {
    groups[i] = static_cast<uint16_t>(ip[2 * i] << 8 | ip[2 * i + 1]);
  }
  size_t best_start = groups.size();
  size_t best_len = 0;
  for (size_t i = 0; i < groups.size();) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < groups.size() && groups[end] == 0) ++end;
    if (end - i > best_len) {
      best_start = i;
      best_len = end - i;
    }
    i = end;
  }
  if (best_len < 2) best_start = groups.size();

  std::string text;
  for (size_t i = 0; i < groups.size(); ++i) {
    if (i == best_start) {
      text += "::";
      i += best_len - 1;
      continue;
    }
    if (!text.empty() && text.back() != ':') text += ':';
    text += fmt::format("{:x}", groups[i]);
  }
  return text;
}

}  // namespace

SocketAddress make_v4_address(std::span<const uint8_t, 4> ip, uint16_t port) {
  SocketAddress address;
  std::copy(ip.begin(), ip.end(), address.ip.begin());
  address.port = port;
  return address;
}

SocketAddress make_v6_address(std::span<const uint8_t, 16> ip, uint16_t port, uint32_t flowinfo,
                              uint32_t scope_id) {
  SocketAddress address;
  address.is_v6 = true;
  std::copy(ip.begin(), ip.end(), address.ip.begin());
  address.port = port;
  address.flowinfo = flowinfo;
  address.scope_id = scope_id;
  return address;
}

std::string format_host(const SocketAddress& address) {
  if (!address.is_v6) return format_v4(address.ip.data());
  if (address.scope_id != 0) return fmt::format("{}%{}", format_v6(address.ip), address.scope_id);
  return format_v6(address.ip);
}

std::string format_socket_address(const SocketAddress& address) {
  if (!address.is_v6) return fmt::format("{}:{}", format_host(address), address.port);
  return fmt::format("[{}]:{}", format_host(address), address.port);
}

}  // namespace brindle
