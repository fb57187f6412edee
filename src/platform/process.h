// Child processes and the path of the running program.
#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string>

#include "platform/result.h"

namespace brindle {

// What a finished child left behind: its exit status and both captured outputs, as raw bytes.
struct ProcessOutput {
  int exit_code = 0;
  std::string out;
  std::string err;
  bool timed_out = false;  // killed at the time limit; the outputs hold what came before
};

// Full path of the running executable (on POSIX, the bytes of the path as the kernel has them).
Result<std::string> executable_path();

// Runs `program` with `args`, standard input empty, and waits for it; with a time limit, a child
// still running then is killed and reported as timed out. A bare name is looked up on the search
// path on POSIX; on Windows only in the system folder, so that a tool planted beside the program,
// in the current folder or on PATH never runs. The error text says why it could not be started.
// A child ended by a signal reports exit code 128 + the signal number.
Result<ProcessOutput> run_process(const std::string& program, std::span<const std::string> args,
                                  std::optional<std::chrono::milliseconds> time_limit = {});

}  // namespace brindle
