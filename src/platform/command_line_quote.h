// Quoting and splitting of command lines: the Windows argument rules (the ones CommandLineToArgvW
// and the C runtime apply) and the Exec key of desktop entries.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace brindle {

// `arg` in double quotes, escaped so the Windows rules give it back unchanged. Text without `"`
// and without a trailing backslash comes out as itself between the quotes.
std::string quote_windows_argument(std::string_view arg);

// `arg` as it goes onto a child's command line: unchanged when it is non-empty and holds no
// white space or quote, otherwise quoted as above.
std::string windows_command_line_argument(std::string_view arg);

// Splits a command line by the Windows argument rules; the program name goes by the same rules,
// which read every Windows path the way the program-name rule does.
std::vector<std::string> split_windows_command_line(std::string_view line);

// One argument of an Exec value, quoted and escaped as it must appear in the desktop entry file
// (the string escapes of the file format applied on top of the Exec quoting, `%` doubled).
std::string quote_desktop_exec_argument(std::string_view arg);

}  // namespace brindle
