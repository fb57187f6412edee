#include <array>
#include <string>

#include <fmt/format.h>

#include "main/autostart_store.h"

namespace brindle {

Result<ProcessOutput> RegAutostartStore::run_reg(std::span<const std::string> args) {
  Result<ProcessOutput> ran = run_("reg", args);
  if (ran && ran->timed_out) {
    return ProcessOutput{1, std::move(ran->out),
                         fmt::format("reg {} did not finish within {} s and was stopped", args[0],
                                     REG_TIME_LIMIT.count()),
                         true};
  }
  return ran;
}

Result<ProcessOutput> RegAutostartStore::drop_value(std::string_view key) {
  const Result<bool> found = probe_(key);
  if (!found) return ProcessOutput{1, "", found.error()};
  if (!*found) return ProcessOutput{};  // not there: nothing to delete
  // "/f" suppresses the confirmation question.
  const std::array<std::string, 5> remove = {"delete", std::string(key), "/v",
                                             std::string(RUN_VALUE_NAME), "/f"};
  return run_reg(remove);
}

Result<ProcessOutput> RegAutostartStore::add(std::string_view data) {
  // "/f" overwrites an earlier value without asking.
  const std::array<std::string, 9> args = {
      "add", std::string(RUN_KEY), "/v", std::string(RUN_VALUE_NAME), "/t", "REG_SZ",
      "/d",  std::string(data),    "/f"};
  const Result<ProcessOutput> added = run_reg(args);
  if (!added || added->exit_code != 0) return added;
  // An entry once disabled in Task Manager stays disabled until its mark goes.
  const Result<ProcessOutput> unmarked = drop_value(STARTUP_APPROVED_KEY);
  if (!unmarked || unmarked->exit_code != 0) return unmarked;
  return added;
}

Result<ProcessOutput> RegAutostartStore::remove() {
  const Result<ProcessOutput> removed = drop_value(RUN_KEY);
  if (!removed || removed->exit_code != 0) return removed;
  // A mark without its Run value does nothing; failing to drop it changes nothing for the user.
  (void)drop_value(STARTUP_APPROVED_KEY);
  return removed;
}

}  // namespace brindle
