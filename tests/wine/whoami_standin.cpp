// Stands in for whoami.exe in the installer suite: Wine runs every program with an
// administrator's full token, so setup is told "elevated" only while this copy sits in the
// prefix's system folder. It prints the user and integrity-level lines of an elevated
// `whoami /user /groups`, or with BRINDLE_WHOAMI_STANDIN=system those of the SYSTEM account.
#include <cstdio>
#include <cstdlib>
#include <string_view>

int main() {
  const char* const mode = std::getenv("BRINDLE_WHOAMI_STANDIN");
  if (mode && std::string_view(mode) == "system") {
    std::puts("\"nt authority\\system\",\"S-1-5-18\"\r");
    std::puts("\"Mandatory Label\\System Mandatory Level\",\"Label\",\"S-1-16-16384\",\"\"\r");
    return 0;
  }
  std::puts("\"pc\\user\",\"S-1-5-21-1004336348-1177238915-682003330-1001\"\r");
  std::puts("\"BUILTIN\\Administrators\",\"Alias\",\"S-1-5-32-544\",\"Enabled group\"\r");
  std::puts("\"Mandatory Label\\High Mandatory Level\",\"Label\",\"S-1-16-12288\",\"\"\r");
  return 0;
}
