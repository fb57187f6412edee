#include "main/autostart_store.h"
#include "platform/process.h"
#include "platform/tool_text.h"

namespace brindle {
namespace {

// The system's reg.exe (run_process looks only in the system folder), stopped when it hangs; its
// messages come in the console's OEM code page unless they are UTF-8.
Result<ProcessOutput> run_system_reg(const std::string& program,
                                     std::span<const std::string> args) {
  Result<ProcessOutput> ran = run_process(program, args, REG_TIME_LIMIT);
  if (ran) ran->err = tool_output_text(ran->err, decode_oem_text);
  return ran;
}

}  // namespace

std::unique_ptr<AutostartStore> make_autostart_store() {
  return std::make_unique<RegAutostartStore>(run_system_reg);
}

}  // namespace brindle
