// Stands in for whoami.exe in the installer suite: Wine runs every program with an
// administrator's full token, so setup is told "elevated" only while this copy sits in the
// prefix's system folder. It prints the integrity-level line of an elevated `whoami /groups`.
#include <cstdio>

int main() {
  std::puts("\"BUILTIN\\Administrators\",\"Alias\",\"S-1-5-32-544\",\"Enabled group\"\r");
  std::puts("\"Mandatory Label\\High Mandatory Level\",\"Label\",\"S-1-16-12288\",\"\"\r");
  return 0;
}
