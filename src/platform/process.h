// Child processes and the path of the running program.
#pragma once

#include <span>
#include <string>

#include "platform/result.h"

namespace brindle {

// What a finished child left behind: its exit status and both captured outputs, as raw bytes.
struct ProcessOutput {
  int exit_code = 0;
  std::string out;
  std::string err;
};

// Full path of the running executable (on POSIX, the bytes of the path as the kernel has them).
Result<std::string> executable_path();

// Runs `program` (looked up on the search path when it has no directory part) with `args`,
// standard input empty, and waits for it. The error text says why it could not be started.
// A child ended by a signal reports exit code 128 + the signal number.
Result<ProcessOutput> run_process(const std::string& program, std::span<const std::string> args);

}  // namespace brindle
