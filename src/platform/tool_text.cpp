#include "platform/tool_text.h"

#include "platform/utf8.h"

namespace brindle {

std::string tool_output_text(std::string_view bytes, LegacyDecoder decode_legacy) {
  if (utf8::is_valid(bytes)) return std::string(bytes);
  if (decode_legacy != nullptr) {
    if (std::optional<std::string> text = decode_legacy(bytes)) return *std::move(text);
  }
  return utf8::sanitize(bytes);
}

}  // namespace brindle
