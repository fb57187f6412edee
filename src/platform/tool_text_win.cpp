#include <windows.h>

#include <climits>

#include "platform/tool_text.h"
#include "platform/utf8.h"

namespace brindle {
namespace {

UINT system_oem_code_page() {
  const UINT process_page = ::GetOEMCP();
  if (process_page != CP_UTF8) return process_page;
  // The manifest's UTF-8 code page answered for the process; the system locale's OEM code page
  // is what the console tools use.
  DWORD page = 0;
  if (::GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTCODEPAGE | LOCALE_RETURN_NUMBER,
                       reinterpret_cast<LPWSTR>(&page), sizeof page / sizeof(WCHAR)) == 0 ||
      page == 0) {
    return CP_OEMCP;
  }
  return page;
}

}  // namespace

std::optional<std::string> decode_oem_text(std::string_view bytes) {
  if (bytes.empty()) return std::string();
  if (bytes.size() > INT_MAX) return std::nullopt;
  const UINT page = system_oem_code_page();
  const int size = static_cast<int>(bytes.size());
  const int needed = ::MultiByteToWideChar(page, 0, bytes.data(), size, nullptr, 0);
  if (needed <= 0) return std::nullopt;
  std::u16string wide(static_cast<size_t>(needed), u'\0');
  if (::MultiByteToWideChar(page, 0, bytes.data(), size, reinterpret_cast<LPWSTR>(wide.data()),
                            needed) != needed) {
    return std::nullopt;
  }
  return utf8::from_utf16(wide);
}

}  // namespace brindle
