#include <winsock2.h>

#include <windows.h>

#include <memory>

#include <fmt/format.h>

#include "platform/os_error.h"
#include "platform/system_message_win.h"
#include "platform/utf8.h"

namespace brindle {

std::string system_message_text(uint32_t code) {
  wchar_t* raw = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&raw), 0, nullptr);
  const std::unique_ptr<wchar_t, decltype(&::LocalFree)> owned(raw, &::LocalFree);
  if (length == 0 || raw == nullptr) return {};
  std::u16string_view text(reinterpret_cast<const char16_t*>(raw), length);
  // The system text ends in a line break that does not belong in one line of output.
  while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n')) text.remove_suffix(1);
  return utf8::from_utf16(text);
}

std::string os_error_text(int code) {
  const std::string text = system_message_text(static_cast<uint32_t>(code));
  if (text.empty()) return fmt::format("Unknown error {} (os error {})", code, code);
  return fmt::format("{} (os error {})", text, code);
}

std::string last_socket_error_text() {
  return os_error_text(::WSAGetLastError());
}
std::string last_os_error_text() {
  return os_error_text(static_cast<int>(::GetLastError()));
}

}  // namespace brindle
