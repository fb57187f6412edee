// The platform side of run-at-login: where the start command is kept, and the portable flow
// that turns the outcome into the action's message and exit status.
#pragma once

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

using ProcessRunner =
    std::function<Result<ProcessOutput>(const std::string& program, std::span<const std::string>)>;

// The Run key value, written and deleted by the system's `reg` tool.
class RegAutostartStore final : public AutostartStore {
 public:
  explicit RegAutostartStore(ProcessRunner run) : run_(std::move(run)) {}
  Result<ProcessOutput> add(std::string_view data) override;
  Result<ProcessOutput> remove() override;

 private:
  ProcessRunner run_;
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

// Where the desktop entry lives: $XDG_CONFIG_HOME/autostart, else $HOME/.config/autostart.
// Unset, empty and relative values do not count; nothing when neither gives a place.
std::optional<std::string> autostart_entry_path(const char* xdg_config_home, const char* home);

// The whole desktop entry whose Exec line starts the same argument list as `command` (a command
// line in the Windows form that autostart_command builds).
std::string desktop_entry_text(std::string_view command);

}  // namespace brindle
