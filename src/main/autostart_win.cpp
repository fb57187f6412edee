#include <windows.h>

#include <string>
#include <vector>

#include <fmt/format.h>

#include "main/autostart_store.h"
#include "platform/os_error.h"
#include "platform/process.h"
#include "platform/tool_text.h"
#include "platform/wide_win.h"

namespace brindle {
namespace {

// The system's reg.exe (run_process looks only in the system folder), stopped when it hangs; its
// messages come in the console's OEM code page unless they are UTF-8.
Result<ProcessOutput> run_system_reg(const std::string& program,
                                     std::span<const std::string> args) {
  Result<ProcessOutput> ran = run_process(program, args, REG_TIME_LIMIT);
  if (ran) ran->err = tool_output_text(ran->err, decode_oem_text);
  return ran;
}

Result<bool> value_exists(std::string_view key) {
  Result<std::optional<std::string>> value = read_run_value(key);
  if (!value) return make_error(value.error());
  return value->has_value();
}

}  // namespace

Result<std::optional<std::string>> read_run_value(std::string_view key) {
  constexpr std::string_view USER_ROOT = "HKCU\\";
  if (!key.starts_with(USER_ROOT)) return make_error(fmt::format("not a per-user key: {}", key));
  const std::wstring subkey = wide(key.substr(USER_ROOT.size()));
  const std::wstring name = wide(RUN_VALUE_NAME);
  const auto failed = [&](LSTATUS status) {
    return make_error(fmt::format("cannot read {}: {}", key, os_error_text(status)));
  };
  // The value may grow between asking for its size and reading it: ask again then.
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS status = ::RegGetValueW(HKEY_CURRENT_USER, subkey.c_str(), name.c_str(),
                                    RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, &size);
    // A missing key holds no value either.
    if (status == ERROR_FILE_NOT_FOUND) return std::optional<std::string>();
    if (status != ERROR_SUCCESS) return failed(status);
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 1, L'\0');
    DWORD got = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    status = ::RegGetValueW(HKEY_CURRENT_USER, subkey.c_str(), name.c_str(),
                            RRF_RT_ANY | RRF_NOEXPAND, &type, data.data(), &got);
    if (status == ERROR_MORE_DATA) continue;
    if (status == ERROR_FILE_NOT_FOUND) return std::optional<std::string>();
    if (status != ERROR_SUCCESS) return failed(status);
    if (type != REG_SZ && type != REG_EXPAND_SZ) return std::optional<std::string>(std::string());
    std::wstring_view text(data.data(), got / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.remove_suffix(1);
    return std::optional<std::string>(narrow(text));
  }
  return failed(ERROR_MORE_DATA);
}

std::unique_ptr<AutostartStore> make_autostart_store() {
  return std::make_unique<RegAutostartStore>(run_system_reg, value_exists);
}

}  // namespace brindle
