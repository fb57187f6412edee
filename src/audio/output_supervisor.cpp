#include "audio/output_supervisor.h"

#include <algorithm>
#include <future>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "audio/device_selection.h"

namespace brindle {

OutputSupervisor::OutputSupervisor(HostFactory hosts, std::string query,
                                   std::shared_ptr<JitterBuffer> jitter, Settings settings)
    : hosts_(std::move(hosts)),
      query_(std::move(query)),
      jitter_(std::move(jitter)),
      settings_(std::move(settings)),
      follows_default_(is_default_query(query_)) {}

OutputSupervisor::~OutputSupervisor() {
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
  // Before the members the host's thread may touch.
  output_.reset();
  host_.reset();
}

Result<std::string> OutputSupervisor::start() {
  std::promise<Result<std::string>> first;
  std::future<Result<std::string>> opened = first.get_future();
  try {
    thread_ = std::thread([this, &first] {
      Result<std::string> line = open(Clock::now());
      const bool ok = line.ok();
      first.set_value(std::move(line));  // `first` is not touched after this
      if (ok) run();
    });
  } catch (const std::system_error& e) {
    return make_error(fmt::format("cannot start the audio thread: {}", e.what()));
  }
  Result<std::string> line = opened.get();
  if (!line) thread_.join();
  return line;
}

void OutputSupervisor::datagram_arrived(Clock::time_point at) {
  last_datagram_.store(at.time_since_epoch().count());
  if (!resting_.load()) return;
  // Taking the lock orders this against the waiter's check of last_datagram_.
  { const std::lock_guard lock(mutex_); }
  wake_.notify_one();
}

Result<std::string> OutputSupervisor::open(Clock::time_point now) {
  Result<AudioOutput> output = open_output();
  if (!output) return make_error(output.error());
  std::string line = rendering_line(*output);
  output_.emplace(std::move(output).value());
  // While the output was gone the queue kept cycling up to its high-water mark: play the newest.
  jitter_->drop_backlog();
  state_ = State::RUNNING;
  running_since_ = now;
  return line;
}

Result<AudioOutput> OutputSupervisor::open_output() {
  // First, so that what a released stream says on its way out is stale.
  const uint64_t generation = generation_.load() + 1;
  generation_.store(generation);
  output_.reset();
  host_.reset();  // and its watch with it
  default_changed_.store(false);
  std::unique_ptr<AudioHost> host = hosts_();
  Result<AudioOutput> output = open_audio_output(
      *host, query_, jitter_,
      [this, generation](const std::string& error) { report(generation, error); });
  if (!output) return output;
  if (follows_default_) host->watch_default_output([this] { default_changed(); });
  host_ = std::move(host);
  return output;
}

void OutputSupervisor::default_changed() {
  {
    const std::lock_guard lock(mutex_);
    default_changed_.store(true);
  }
  wake_.notify_one();
}

void OutputSupervisor::report(uint64_t generation, const std::string& error) {
  {
    const std::lock_guard lock(mutex_);
    if (generation != generation_.load() || failed_generation_.load() >= generation) return;
    failed_generation_.store(generation);
  }
  // Not under mutex_, which the receiver thread takes per datagram while the output rests.
  settings_.write_err(stream_error_line(error));
  wake_.notify_one();
}

void OutputSupervisor::fail(Clock::time_point retry_at) {
  resting_.store(false);
  output_.reset();
  host_.reset();
  state_ = State::FAILED;
  retry_at_ = retry_at;
  if (settings_.output_changed) settings_.output_changed(false);
}

std::optional<OutputSupervisor::Clock::time_point> OutputSupervisor::step(Clock::time_point now) {
  if (state_ != State::FAILED && failed_generation_.load() == generation_.load()) {
    fail(now + settings_.retry_every);
  }
  if (state_ != State::FAILED && default_changed_.load()) {
    // The same reopen as a recovery, at once.
    resting_.store(false);
    if (Result<std::string> line = open(now); line) {
      settings_.write_out(*line);
    } else {
      report(generation_.load(), line.error());
      fail(now + settings_.retry_every);
    }
  }
  if (state_ == State::FAILED) {
    if (now < retry_at_) return retry_at_;
    Result<std::string> line = open(now);
    if (!line) {
      retry_at_ = now + settings_.retry_every;
      return retry_at_;
    }
    settings_.write_out(*line);
    if (settings_.output_changed) settings_.output_changed(true);
  }
  if (state_ == State::PAUSED) {
    if (last_datagram_.load() == datagram_at_pause_) return std::nullopt;
    resting_.store(false);
    if (const Status resumed = output_->stream->play(); !resumed) {
      // The user is talking: try to open the output again at once.
      report(generation_.load(), resumed.error());
      fail(now);
      return now;
    }
    state_ = State::RUNNING;
    running_since_ = now;
  }

  // RUNNING: rest once nothing has arrived for a while and nothing is left to play.
  const int64_t last = last_datagram_.load();
  const Clock::time_point idle_at =
      std::max(Clock::time_point(Clock::duration(last)), running_since_) + settings_.idle_after;
  if (now < idle_at) return idle_at;
  if (!jitter_->drained()) return now + settings_.idle_after;
  datagram_at_pause_ = last;  // a datagram after `last` resumes the stream, even one arriving now
  resting_.store(true);
  if (const Status paused = output_->stream->pause(); !paused) {
    report(generation_.load(), paused.error());
    fail(now + settings_.retry_every);
    return retry_at_;
  }
  state_ = State::PAUSED;
  return std::nullopt;
}

bool OutputSupervisor::woken() const {
  if (stop_) return true;
  if (state_ != State::FAILED && failed_generation_.load() == generation_.load()) return true;
  if (state_ != State::FAILED && default_changed_.load()) return true;
  return state_ == State::PAUSED && last_datagram_.load() != datagram_at_pause_;
}

void OutputSupervisor::run() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    lock.unlock();
    const std::optional<Clock::time_point> next = step(Clock::now());
    lock.lock();
    if (next) {
      wake_.wait_until(lock, *next, [this] { return woken(); });
    } else {
      wake_.wait(lock, [this] { return woken(); });
    }
  }
  lock.unlock();
  // Released on the thread that made them.
  output_.reset();
  host_.reset();
}

}  // namespace brindle
