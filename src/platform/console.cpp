#include "platform/console.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/console_queue.h"
#include "platform/console_streams.h"

namespace brindle::console {
namespace {

using Log = std::function<void(std::string_view)>;

// How long the end of the process waits for queued lines: enough for a console that merely lags.
constexpr auto EXIT_WAIT = std::chrono::seconds(2);

// The process has exactly one stdout and one stderr, so their writer is process-wide.
class Console {
 public:
  void write(Stream stream, std::string_view text) {
    if (!queued_.load(std::memory_order_acquire)) {
      // Before the writer thread: normally only the main thread writes.
      const std::lock_guard lock(direct_mutex_);
      if (!queued_.load()) {
        emit(stream, text);
        return;
      }
    }
    queue_.push(Line{stream, std::string(text)});
  }

  void start_writer_thread() {
    const std::lock_guard lock(direct_mutex_);
    if (queued_.load()) return;
    ignore_broken_pipes();
    try {
      // Never joined: it sleeps on the queue until the process ends.
      std::thread([this] {
        while (std::optional<Line> line = queue_.pop()) {
          emit(line->stream, line->text);
          queue_.written();
        }
      }).detach();
    } catch (const std::system_error&) {
      return;  // without the thread, writes stay direct
    }
    queued_.store(true, std::memory_order_release);
  }

  void wait_written(std::chrono::steady_clock::duration limit) {
    if (queued_.load()) (void)queue_.wait_written(std::chrono::steady_clock::now() + limit);
  }

  void set_log(Log log) {
    std::shared_ptr<const Log> next = log ? std::make_shared<const Log>(std::move(log)) : nullptr;
    const std::lock_guard lock(log_mutex_);
    log_ = std::move(next);
  }

 private:
  void emit(Stream stream, std::string_view text) {
    streams_->write(stream, text);
    if (stream == Stream::STATUS) return;
    std::shared_ptr<const Log> log;
    {
      const std::lock_guard lock(log_mutex_);
      log = log_;
    }
    if (log) (*log)(text);
  }

  const std::unique_ptr<Streams> streams_ = make_streams();
  LineQueue queue_{MAX_QUEUED_LINES};
  std::atomic<bool> queued_{false};
  std::mutex direct_mutex_;
  std::mutex log_mutex_;
  std::shared_ptr<const Log> log_;  // guarded by log_mutex_
};

// Never destroyed: other threads may still write while the process ends, and the writer thread
// goes on using it.
union Forever {
  Forever() : console() {}
  ~Forever() {}
  Console console;
};

Console& instance() {
  static Forever forever;
  return forever.console;
}

// Gives the queued lines (a start-up failure, say) their moment when the process ends.
struct WaitAtExit {
  ~WaitAtExit() { instance().wait_written(EXIT_WAIT); }
};

}  // namespace

void write_out(std::string_view text) {
  instance().write(Stream::STDOUT, text);
}
void write_err(std::string_view text) {
  instance().write(Stream::STDERR, text);
}
void write_status(std::string_view text) {
  instance().write(Stream::STATUS, text);
}

void start_writer_thread() {
  instance().start_writer_thread();
  static const WaitAtExit wait_at_exit;
}

void flush(std::chrono::milliseconds limit) {
  instance().wait_written(limit);
}

void set_log(std::function<void(std::string_view)> log) {
  instance().set_log(std::move(log));
}

}  // namespace brindle::console
