#include <array>
#include <string>

#include "main/autostart_store.h"

namespace brindle {

Result<ProcessOutput> RegAutostartStore::add(std::string_view data) {
  // "/f" overwrites an earlier value without asking.
  const std::array<std::string, 9> args = {
      "add", std::string(RUN_KEY), "/v", std::string(RUN_VALUE_NAME), "/t", "REG_SZ",
      "/d",  std::string(data),    "/f"};
  return run_("reg", args);
}

Result<ProcessOutput> RegAutostartStore::remove() {
  // "/f" suppresses the confirmation question.
  const std::array<std::string, 5> args = {"delete", std::string(RUN_KEY), "/v",
                                           std::string(RUN_VALUE_NAME), "/f"};
  return run_("reg", args);
}

}  // namespace brindle
