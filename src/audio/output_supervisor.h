// Keeps the output alive for the life of the receiver: opens it again after a stream error and
// rests it while no audio arrives.
//
//   RUNNING  the stream plays. At the last datagram + IDLE_AFTER, with nothing left to play in
//            the jitter buffer, the stream is paused: PAUSED.
//   PAUSED   no deadline at all; the next datagram resumes the stream: RUNNING. A failed resume
//            is a stream error.
//   FAILED   the stream reported an error (written once as "audio stream error: {err}") and is
//            released. Every RETRY_EVERY a fresh host reads the device list and opens the same
//            query again; on success the rendering line is written: RUNNING.
//
// Following "default", a change of the system default output while RUNNING or PAUSED releases
// the stream and opens the new default at once, writing the rendering line: RUNNING. A new
// default that cannot be opened is a stream error (its line, then the retries of FAILED). A
// named device never moves.
//
// step() makes the decisions and the OS-free waits of run() give it its causes (a stream error,
// a datagram while paused, a new default, a deadline, stop()), so tests drive step() with their own
// clock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "audio/audio_host.h"
#include "audio/audio_output.h"
#include "jitter/jitter_buffer.h"
#include "platform/result.h"

namespace brindle {

class OutputSupervisor {
 public:
  using Clock = std::chrono::steady_clock;
  using HostFactory = std::function<std::unique_ptr<AudioHost>()>;
  using Writer = std::function<void(std::string_view)>;

  enum class State { RUNNING, PAUSED, FAILED };

  struct Settings {
    Clock::duration retry_every = std::chrono::seconds(2);
    Clock::duration idle_after = std::chrono::seconds(5);
    Writer write_out;  // the rendering line after a recovery
    Writer write_err;  // "audio stream error: {err}"
    // Told false when the stream is lost and true when it is back, on the supervising thread.
    std::function<void(bool available)> output_changed;
  };

  OutputSupervisor(HostFactory hosts, std::string query, std::shared_ptr<JitterBuffer> jitter,
                   Settings settings);
  ~OutputSupervisor();  // stops the thread, then releases the stream and its host
  OutputSupervisor(const OutputSupervisor&) = delete;
  OutputSupervisor& operator=(const OutputSupervisor&) = delete;

  // Main thread, once: starts the supervising thread, which opens the output (so every stream
  // is made, paused and released on that one thread) and keeps it. Returns the rendering line,
  // or the error of that first open, after which the thread has ended.
  Result<std::string> start();

  // Any thread, per accepted datagram: a time stamp, and a wake-up only while paused.
  void datagram_arrived(Clock::time_point at = Clock::now());

  // The thread-free core, for start() and tests: open() once, then step() at each cause.
  Result<std::string> open(Clock::time_point now);
  // Acts on what happened by `now`; returns when to be called again without another cause
  // (nullopt: only a cause wakes it).
  std::optional<Clock::time_point> step(Clock::time_point now);
  State state() const { return state_; }

 private:
  void run();
  bool woken() const;  // under mutex_
  Result<AudioOutput> open_output();
  // Stream error of generation `generation`: written and acted on once.
  void report(uint64_t generation, const std::string& error);
  void fail(Clock::time_point retry_at);  // releases the stream
  void default_changed();                 // the host's thread

  const HostFactory hosts_;
  const std::string query_;
  const std::shared_ptr<JitterBuffer> jitter_;
  const Settings settings_;
  const bool follows_default_;

  // Supervising thread only (or the test driving step()).
  std::unique_ptr<AudioHost> host_;
  std::optional<AudioOutput> output_;  // destroyed before host_
  State state_ = State::FAILED;
  Clock::time_point running_since_{};
  Clock::time_point retry_at_{};
  int64_t datagram_at_pause_ = 0;

  // Shared with the stream threads and the receiver thread.
  std::atomic<uint64_t> generation_{0};         // of the current stream
  std::atomic<uint64_t> failed_generation_{0};  // of the last stream that reported an error
  std::atomic<int64_t> last_datagram_{0};       // Clock ticks; 0: none yet
  std::atomic<bool> resting_{false};            // paused: datagrams wake the thread
  std::atomic<bool> default_changed_{false};    // since the current stream was opened
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace brindle
