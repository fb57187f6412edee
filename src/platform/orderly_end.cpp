#include "platform/orderly_end.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace brindle {
namespace {

struct FarewellSlot {
  std::mutex mutex;
  std::condition_variable done_changed;
  std::function<void()> farewell;  // guarded by mutex
  bool started = false;            // guarded by mutex
  bool done = false;               // guarded by mutex
};

// Process-wide: the ends come from signal and console threads that own nothing.
FarewellSlot& slot() {
  static FarewellSlot instance;
  return instance;
}

}  // namespace

void set_farewell(std::function<void()> farewell) {
  FarewellSlot& s = slot();
  const std::lock_guard lock(s.mutex);
  s.farewell = std::move(farewell);
}

void run_farewell() {
  FarewellSlot& s = slot();
  std::unique_lock lock(s.mutex);
  if (!s.started) {
    s.started = true;
    std::function<void()> farewell = std::move(s.farewell);
    if (!farewell) {
      s.done = true;
    } else {
      // On a thread of its own, so that a farewell that hangs cannot hold up the end.
      try {
        std::thread([farewell = std::move(farewell)] {
          farewell();
          FarewellSlot& own = slot();
          const std::lock_guard done_lock(own.mutex);
          own.done = true;
          own.done_changed.notify_all();
        }).detach();
      } catch (const std::system_error&) {
        s.done = true;
      }
    }
  }
  s.done_changed.wait_for(lock, FAREWELL_LIMIT, [&s] { return s.done; });
}

}  // namespace brindle
