#include "main/receiver_log.h"

#include <algorithm>

#include <fmt/format.h>

namespace brindle {

std::string stamped_lines(std::string_view text, const LocalTime& at) {
  const std::string stamp = fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}  ", at.year, at.month,
                                        at.day, at.hour, at.minute, at.second);
  std::string lines;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    lines.append(stamp).append(line).push_back('\n');
  }
  return lines;
}

bool log_needs_rotation(uint64_t size, uint64_t adding) {
  return size > 0 && adding > LOG_CAP_BYTES - std::min(size, LOG_CAP_BYTES);
}

}  // namespace brindle
