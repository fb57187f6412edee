#include "discovery/machine_label.h"

#include "platform/utf8.h"

namespace brindle {
namespace {

bool ascii_alphanumeric(char32_t c) {
  return (c >= U'A' && c <= U'Z') || (c >= U'a' && c <= U'z') || (c >= U'0' && c <= U'9');
}

}  // namespace

std::string machine_label(const std::optional<std::string>& computer_name,
                          const std::optional<std::string>& host_name) {
  const std::string& name = computer_name ? *computer_name : host_name ? *host_name : "";
  const std::string_view first_part = std::string_view(name).substr(0, name.find('.'));
  std::string label;
  // Per character, not per byte: "ü" is one hyphen however many bytes it takes.
  for (const char32_t c : utf8::decode(first_part)) {
    label += ascii_alphanumeric(c) ? static_cast<char>(c) : '-';
  }
  return label.empty() ? std::string(FALLBACK_HOST_NAME) : label;
}

}  // namespace brindle
