// A child for the process tests: echoes its arguments one per line on standard output, reports
// how many bytes standard input held on standard error, and exits with the status named by its
// first argument. "--big" as second argument writes 1 MiB to each output instead; "--hang" writes
// one line and never ends.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "platform/arguments.h"
#include "platform/console.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args = brindle::command_line_arguments(argc, argv);
  size_t input_bytes = 0;
  char buffer[256];
  DWORD got = 0;
  while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) &&
         got > 0) {
    input_bytes += got;
  }
  if (args.size() > 1 && args[1] == "--hang") {
    brindle::console::write_out("hanging\n");
    ::Sleep(INFINITE);
  }
  if (args.size() > 1 && args[1] == "--big") {
    const std::string chunk(64 * 1024, 'o');
    for (int i = 0; i < 16; ++i) {
      brindle::console::write_out(chunk);
      brindle::console::write_err(std::string(chunk.size(), 'e'));
    }
  } else {
    for (const std::string& arg : args) brindle::console::write_out(arg + "\n");
    brindle::console::write_err("stdin " + std::to_string(input_bytes) + "\n");
  }
  return args.empty() ? 0 : std::atoi(args[0].c_str());
}
