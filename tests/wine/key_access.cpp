// Refuses or restores reading the Run key for the Wine suite, so that --autostart off meets a
// read that is refused rather than a value that is absent.
//   wine_key_access.exe deny    a DACL that denies everyone reading the key's values
//   wine_key_access.exe allow   the key's usual DACL: full access for its owner and the system
// Exits 0 when the DACL was set.
#include <windows.h>

#include <sddl.h>

#include <string>
#include <vector>

#include "platform/arguments.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args = brindle::command_line_arguments(argc, argv);
  const bool deny = !args.empty() && args[0] == "deny";
  const wchar_t* const descriptor_text =
      deny ? L"D:(D;;KR;;;WD)(A;;KA;;;WD)" : L"D:(A;;KA;;;WD)(A;;KA;;;SY)";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(descriptor_text, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    return 1;
  }
  HKEY key = nullptr;
  LSTATUS status = ::RegOpenKeyExW(
      HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0, WRITE_DAC, &key);
  if (status == ERROR_SUCCESS) {
    status = ::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
    ::RegCloseKey(key);
  }
  ::LocalFree(descriptor);
  return status == ERROR_SUCCESS ? 0 : 1;
}
