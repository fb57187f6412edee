// The process's arguments as UTF-8, without the program path.
#pragma once

#include <string>
#include <vector>

namespace brindle {

// POSIX takes argv as it is; Windows ignores argc/argv and reads the UTF-16 command line.
std::vector<std::string> command_line_arguments(int argc, char** argv);

}  // namespace brindle
