// The system's message-table text for a Windows error code (Win32 or HRESULT).
#pragma once

#include <cstdint>
#include <string>

namespace brindle {

// One line of UTF-8 without the trailing line break; empty when the system has no text.
std::string system_message_text(uint32_t code);

}  // namespace brindle
