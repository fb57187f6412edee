#include <windows.h>

#include <optional>
#include <string>

#include "discovery/machine_label.h"
#include "platform/utf8.h"

namespace brindle {
namespace {

bool has_lone_surrogate(std::u16string_view units) {
  for (size_t i = 0; i < units.size(); ++i) {
    const char16_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 == units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return true;
      ++i;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      return true;
    }
  }
  return false;
}

// The variable's value when it is set and valid Unicode; an empty value counts as set.
std::optional<std::string> environment_text(const wchar_t* name) {
  ::SetLastError(ERROR_SUCCESS);
  const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) {
    if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    return std::string();
  }
  std::u16string value(size, u'\0');
  const DWORD length =
      ::GetEnvironmentVariableW(name, reinterpret_cast<wchar_t*>(value.data()), size);
  if (length >= size) return std::nullopt;  // changed between the two calls
  value.resize(length);
  if (has_lone_surrogate(value)) return std::nullopt;
  return utf8::from_utf16(value);
}

}  // namespace

MachineNameSources read_machine_name_sources() {
  MachineNameSources sources;
  sources.computer_name = environment_text(L"COMPUTERNAME");
  sources.host_name = environment_text(L"HOSTNAME");
  return sources;
}

}  // namespace brindle
