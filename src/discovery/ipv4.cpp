#include "discovery/ipv4.h"

#include <fmt/format.h>

namespace brindle {

std::string format_ipv4(const Ipv4Address& address) {
  return fmt::format("{}.{}.{}.{}", address[0], address[1], address[2], address[3]);
}

std::optional<Ipv4Address> parse_ipv4(std::string_view text) {
  Ipv4Address address{};
  size_t part = 0;
  size_t pos = 0;
  while (part < 4) {
    size_t digits = 0;
    unsigned value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
      ++digits;
    }
    // A leading zero would read as octal to some parsers; refuse the ambiguity.
    if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text[pos - digits] == '0')) {
      return std::nullopt;
    }
    address[part++] = static_cast<uint8_t>(value);
    if (part < 4) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
  }
  if (pos != text.size()) return std::nullopt;
  return address;
}

}  // namespace brindle
