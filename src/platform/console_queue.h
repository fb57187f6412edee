// The lines waiting for the console's writer thread. Bounded: a console that nobody reads must
// cost the writers nothing, so when the queue is full the oldest line makes room.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace brindle::console {

enum class Stream { STDOUT, STDERR, STATUS };  // STATUS: standard output, kept out of the log

struct Line {
  Stream stream;
  std::string text;
};

// Any thread may push; one writer thread pops and reports each line written.
class LineQueue {
 public:
  explicit LineQueue(size_t capacity) : capacity_(capacity) {}

  // Never waits for the writer. False when the oldest line was dropped to make room.
  bool push(Line line);
  // Writer: the next line, waiting for one; nullopt once closed and empty.
  std::optional<Line> pop();
  // Writer: the line of the last pop() has been written (or could not be).
  void written();
  // Until every line pushed so far is written, or `deadline`; true when all were written.
  bool wait_written(std::chrono::steady_clock::time_point deadline);
  // pop() returns nullopt once the queue is empty.
  void close();
  uint64_t dropped() const;

 private:
  const size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Line> lines_;  // guarded by mutex_, as are the fields below
  bool writing_ = false;    // a popped line is being written
  bool closed_ = false;
  uint64_t dropped_ = 0;
};

}  // namespace brindle::console
