// UTF-8 to and from the UTF-16 the wide Win32 calls take. Windows files only.
#pragma once

#include <string>
#include <string_view>

#include "platform/utf8.h"

namespace brindle {

inline std::wstring wide(std::string_view text) {
  const std::u16string units = utf8::to_utf16(text);
  return std::wstring(units.begin(), units.end());
}

inline std::string narrow(std::wstring_view text) {
  return utf8::from_utf16(
      std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

}  // namespace brindle
