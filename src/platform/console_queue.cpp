#include "platform/console_queue.h"

#include <utility>

namespace brindle::console {

bool LineQueue::push(Line line) {
  bool kept_all = true;
  {
    const std::lock_guard lock(mutex_);
    if (capacity_ == 0) {
      ++dropped_;
      return false;
    }
    if (lines_.size() >= capacity_) {
      lines_.pop_front();
      ++dropped_;
      kept_all = false;
    }
    lines_.push_back(std::move(line));
  }
  changed_.notify_all();
  return kept_all;
}

std::optional<Line> LineQueue::pop() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !lines_.empty() || closed_; });
  if (lines_.empty()) return std::nullopt;
  Line line = std::move(lines_.front());
  lines_.pop_front();
  writing_ = true;
  return line;
}

void LineQueue::written() {
  {
    const std::lock_guard lock(mutex_);
    writing_ = false;
  }
  changed_.notify_all();
}

bool LineQueue::wait_written(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  return changed_.wait_until(lock, deadline, [this] { return lines_.empty() && !writing_; });
}

void LineQueue::close() {
  {
    const std::lock_guard lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

uint64_t LineQueue::dropped() const {
  const std::lock_guard lock(mutex_);
  return dropped_;
}

}  // namespace brindle::console
