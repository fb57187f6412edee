// A login start's hand-over of the instance guard to its windowless copy. Windows files only.
#pragma once

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>

#include "main/background_start.h"
#include "platform/owned_handle_win.h"

namespace brindle {

// Starts `application` with `command_line`, without a console window or standard handles. The
// copy inherits `guard` and an event (and nothing else), named to it in an environment variable,
// and sets the event once it holds the guard. Waits up to `limit` for that; a copy that has not
// answered by then is stopped before this returns, so that it can never take over later.
CopyAnswer hand_over_guard(const std::wstring& application, std::wstring command_line, HANDLE guard,
                           std::chrono::milliseconds limit);

// What a copy was handed: the guard's handle and the event that tells the first process.
struct HandedOver {
  HANDLE guard = nullptr;
  OwnedHandle ready;
};

// In every process, once and first: whether this is a copy (the variable is removed at once, so
// that no child ever sees it) and, if the handles named in it are usable, what it was handed.
struct HandOverCheck {
  bool is_copy = false;
  std::optional<HandedOver> handed;
};
HandOverCheck check_hand_over();

}  // namespace brindle
