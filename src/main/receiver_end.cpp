#include "main/receiver_end.h"

#include <mutex>
#include <utility>
#include <vector>

namespace brindle {
namespace {

// Process-wide: the end path is reached from the icon's thread, far from start_receiver.
struct EndSteps {
  std::mutex mutex;
  std::vector<std::function<void()>> steps;
};

EndSteps& end_steps() {
  static EndSteps steps;
  return steps;
}

}  // namespace

void at_receiver_end(std::function<void()> step) {
  EndSteps& end = end_steps();
  const std::lock_guard lock(end.mutex);
  end.steps.push_back(std::move(step));
}

void run_receiver_end_steps() {
  std::vector<std::function<void()>> steps;
  {
    EndSteps& end = end_steps();
    const std::lock_guard lock(end.mutex);
    steps.swap(end.steps);
  }
  for (auto step = steps.rbegin(); step != steps.rend(); ++step) (*step)();
}

}  // namespace brindle
