// The platform side of run-at-login: where the start command is kept, and the portable flow
// that turns the outcome into the action's message and exit status.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "main/options.h"
#include "platform/process.h"
#include "platform/result.h"

namespace brindle {

inline constexpr std::string_view RUN_KEY = R"(HKCU\Software\Microsoft\Windows\CurrentVersion\Run)";
inline constexpr std::string_view RUN_VALUE_NAME = "Brindle";
// Where Task Manager and the Settings "Startup apps" page keep an entry's enabled or disabled
// mark, under the same value name. A disabled mark makes Windows skip the Run value.
inline constexpr std::string_view STARTUP_APPROVED_KEY =
    R"(HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run)";
// A reg that has not finished by then is stopped and reported.
inline constexpr std::chrono::seconds REG_TIME_LIMIT{10};
inline constexpr std::string_view AUTOSTART_ENTRY_NAME = "brindle-receiver.desktop";

// Keeps or drops the one login entry. Each call reports like a finished tool: exit status 0 for
// success, otherwise the error output; an error result means the tool could not be started.
class AutostartStore {
 public:
  virtual ~AutostartStore() = default;
  // Stores `data` as the start command, replacing any earlier one.
  virtual Result<ProcessOutput> add(std::string_view data) = 0;
  // Drops the entry. A missing entry is no failure: exit status 0, or (as `reg` does) an error
  // output that says "unable to find".
  virtual Result<ProcessOutput> remove() = 0;
};

// The platform's store (the Run key through `reg` on Windows, a desktop entry elsewhere).
std::unique_ptr<AutostartStore> make_autostart_store();

// The login command stored under the Run key ("Brindle"), read with the registry API: nothing when
// there is none, an error when it cannot be read. Windows only.
Result<std::optional<std::string>> read_run_value(std::string_view key);

using ProcessRunner =
    std::function<Result<ProcessOutput>(const std::string& program, std::span<const std::string>)>;

// Whether the value `RUN_VALUE_NAME` exists under a key ("HKCU\\..."), read with the registry
// API; an error when the key cannot be read (access denied, say), which is not "absent".
using ValueProbe = std::function<Result<bool>(std::string_view key)>;

// The Run key value, written and deleted by the system's `reg` tool. A value is looked for before
// it is deleted, since `reg`'s "not found" message is in the system's language and says nothing
// of a read that was refused. Both add and remove also drop the StartupApproved mark.
class RegAutostartStore final : public AutostartStore {
 public:
  RegAutostartStore(ProcessRunner run, ValueProbe probe)
      : run_(std::move(run)), probe_(std::move(probe)) {}
  Result<ProcessOutput> add(std::string_view data) override;
  Result<ProcessOutput> remove() override;

 private:
  Result<ProcessOutput> run_reg(std::span<const std::string> args);
  // Deletes the value `RUN_VALUE_NAME` under `key` if it is there; a missing one is success.
  Result<ProcessOutput> drop_value(std::string_view key);

  ProcessRunner run_;
  ValueProbe probe_;
};

// What the action prints and its exit status.
struct AutostartOutcome {
  int exit_status = 0;
  std::string out;
  std::string err;
};

AutostartOutcome run_autostart(AutostartMode mode, const Options& options,
                               const std::function<Result<std::string>()>& exe_path,
                               AutostartStore& store);

// run_autostart with this platform's store and this program's path; its lines go to the console.
AutostartOutcome apply_autostart(AutostartMode mode, const Options& options);

// Where the desktop entry lives: $XDG_CONFIG_HOME/autostart, else $HOME/.config/autostart.
// Unset, empty and relative values do not count; nothing when neither gives a place.
std::optional<std::string> autostart_entry_path(const char* xdg_config_home, const char* home);

// The whole desktop entry whose Exec line starts the same argument list as `command` (a command
// line in the Windows form that autostart_command builds).
std::string desktop_entry_text(std::string_view command);

}  // namespace brindle
