// Stands in for the system's reg.exe in the Wine suite: it is copied as reg.exe beside a copy of
// the receiver, where the receiver looks first. It logs the argument list it was given (one
// UTF-8 line each) to BRINDLE_REG_STANDIN_LOG and answers as BRINDLE_REG_STANDIN says:
//   "missing": Windows' own "unable to find" error on standard error, status 1;
//   "foreign": an error in another language on standard error, status 1;
//   anything else: success, status 0.
// It always writes something on standard output, which the receiver must throw away.
// The installer suite puts it into its prefix as netsh.exe, whose firewall commands it logs.
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/arguments.h"
#include "platform/console.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args = brindle::command_line_arguments(argc, argv);
  if (const char* log = std::getenv("BRINDLE_REG_STANDIN_LOG")) {
    std::ofstream out(log, std::ios::binary | std::ios::app);
    for (const std::string& arg : args) out << arg << '\n';
  }
  brindle::console::write_out("stand-in reg output that nobody should see\r\n");
  const char* mode_env = std::getenv("BRINDLE_REG_STANDIN");
  const std::string mode = mode_env ? mode_env : "";
  if (mode == "missing") {
    brindle::console::write_err(
        "ERROR: The system was unable to find the specified registry key or value.\r\n");
    return 1;
  }
  if (mode == "foreign") {
    brindle::console::write_err("FEHLER: Zugriff verweigert.\r\n");
    return 1;
  }
  return 0;
}
