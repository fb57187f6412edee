#include "main/startup_failure.h"

namespace brindle {

int report_startup_failure(std::string_view err_text, bool background,
                           const FailureOutputs& outputs) {
  outputs.write_err(err_text);
  if (background) {
    std::string_view message = err_text;
    while (!message.empty() && (message.front() == '\n' || message.front() == '\r')) {
      message.remove_prefix(1);
    }
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
      message.remove_suffix(1);
    }
    outputs.show_warning(message);
  }
  return 1;
}

}  // namespace brindle
