// Stands in for the system's reg.exe in the Wine suite, which copies it into the throwaway
// prefix's system folder (and, as a planted copy that must never run, beside the receiver). It
// logs the path it runs from and the argument list it was given (one UTF-8 line each) to
// BRINDLE_REG_STANDIN_LOG and answers each verb (query, add, delete) as BRINDLE_REG_STANDIN says,
// for example "query=absent delete=oem-error"; a verb not named succeeds:
//   absent:     a localized "value not found" on standard error, status 1;
//   oem-error:  a German error in code page 437/850 bytes (not UTF-8), status 1;
//   silent:     status 1 and no error output at all;
//   hang:       never ends.
// It always writes something on standard output, which the receiver must throw away.
// The installer suite puts it into its prefix as netsh.exe, whose firewall commands it logs.
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/arguments.h"
#include "platform/console.h"
#include "platform/process.h"

namespace {

std::string answer_for(const std::string& verb) {
  const char* const env = std::getenv("BRINDLE_REG_STANDIN");
  const std::string modes = env ? env : "";
  const std::string key = verb + "=";
  const size_t at = modes.find(key);
  if (at == std::string::npos || (at > 0 && modes[at - 1] != ' ')) return "ok";
  const size_t end = modes.find(' ', at);
  return modes.substr(at + key.size(), end == std::string::npos ? end : end - at - key.size());
}

void write_raw_err(const std::string& bytes) {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
              &written, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = brindle::command_line_arguments(argc, argv);
  if (const char* log = std::getenv("BRINDLE_REG_STANDIN_LOG")) {
    std::ofstream out(log, std::ios::binary | std::ios::app);
    const brindle::Result<std::string> self = brindle::executable_path();
    out << "ran: " << (self ? *self : "?") << '\n';
    for (const std::string& arg : args) out << arg << '\n';
  }
  brindle::console::write_out("stand-in reg output that nobody should see\r\n");
  const std::string answer = answer_for(args.empty() ? "" : args[0]);
  if (answer == "absent") {
    write_raw_err("FEHLER: Der angegebene Registrierungsschl\x81ssel wurde nicht gefunden.\r\n");
    return 1;
  }
  if (answer == "oem-error") {
    write_raw_err("FEHLER: Zugriff verweigert \x84 ung\x81ltig.\r\n");
    return 1;
  }
  if (answer == "silent") return 1;
  if (answer == "hang") ::Sleep(INFINITE);
  return 0;
}
