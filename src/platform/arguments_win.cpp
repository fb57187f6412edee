#include <windows.h>

#include <shellapi.h>

#include <memory>

#include "platform/arguments.h"
#include "platform/utf8.h"

namespace brindle {
namespace {

struct LocalFreeDeleter {
  void operator()(wchar_t** argv) const { ::LocalFree(argv); }
};

}  // namespace

// argv from the C runtime is in the ANSI code page and loses characters; the UTF-16 command line
// split by the system's own rules keeps them all.
std::vector<std::string> command_line_arguments(int, char**) {
  int count = 0;
  const std::unique_ptr<wchar_t*, LocalFreeDeleter> argv(
      ::CommandLineToArgvW(::GetCommandLineW(), &count));
  std::vector<std::string> arguments;
  if (!argv) return arguments;
  for (int i = 1; i < count; ++i) {
    arguments.push_back(utf8::from_utf16(reinterpret_cast<const char16_t*>(argv.get()[i])));
  }
  return arguments;
}

}  // namespace brindle
