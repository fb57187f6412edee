// What a system console tool wrote, as UTF-8 text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brindle {

// Converts bytes in the console's legacy (OEM) code page; nothing when that is not possible.
using LegacyDecoder = std::optional<std::string> (*)(std::string_view bytes);

// Console tools write in the OEM code page unless told otherwise: bytes that are valid UTF-8 are
// taken as UTF-8 (plain ASCII included), anything else goes through `decode_legacy`; when that
// fails too, invalid bytes become U+FFFD.
std::string tool_output_text(std::string_view bytes, LegacyDecoder decode_legacy);

// Windows only: bytes in the system's OEM code page, also under a UTF-8 manifest (which makes the
// process's own OEM code page UTF-8 while console tools keep writing in the system's).
std::optional<std::string> decode_oem_text(std::string_view bytes);

}  // namespace brindle
