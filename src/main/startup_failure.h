// Start-up failures that end the process.
#pragma once

#include <functional>
#include <string_view>

namespace brindle {

// Where a start-up failure goes: standard error and the warning dialog.
struct FailureOutputs {
  std::function<void(std::string_view)> write_err;
  std::function<void(std::string_view)> show_warning;
};

// Writes `err_text` to standard error; with --background, where nobody reads the console, the same
// message (without its surrounding line breaks) also goes to the warning dialog. Returns the exit
// status, 1.
int report_startup_failure(std::string_view err_text, bool background,
                           const FailureOutputs& outputs);

}  // namespace brindle
