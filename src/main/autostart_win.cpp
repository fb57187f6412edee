#include "main/autostart_store.h"
#include "platform/process.h"

namespace brindle {

std::unique_ptr<AutostartStore> make_autostart_store() {
  return std::make_unique<RegAutostartStore>(run_process);
}

}  // namespace brindle
