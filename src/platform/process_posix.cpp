#include "platform/process.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <optional>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/os_error.h"

extern char** environ;

namespace brindle {
namespace {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

Result<Pipe> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return make_error(last_os_error_text());
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

class FileActions {
 public:
  FileActions() { ::posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { ::posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

using Clock = std::chrono::steady_clock;

// Drains both pipes together, so a child that fills one while we wait on the other cannot stall.
// Returns false when the deadline came first.
bool read_both(UniqueFd out_fd, UniqueFd err_fd, std::string& out, std::string& err,
               std::optional<Clock::time_point> deadline) {
  UniqueFd* const fds[2] = {&out_fd, &err_fd};
  std::string* const sinks[2] = {&out, &err};
  char buffer[4096];
  while (out_fd.get() >= 0 || err_fd.get() >= 0) {
    pollfd polled[2];
    for (int i = 0; i < 2; ++i) polled[i] = pollfd{fds[i]->get(), POLLIN, 0};  // -1 is skipped
    int wait_ms = -1;
    if (deadline) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
      if (left.count() <= 0) return false;
      wait_ms = static_cast<int>(std::min<long long>(left.count(), 60'000));
    }
    const int ready = ::poll(polled, 2, wait_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return true;
    }
    if (ready == 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i]->get() < 0 || polled[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i]->get(), buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i]->reset();
      }
    }
  }
  return true;
}

int wait_for(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

Result<std::string> executable_path() {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return make_error(last_os_error_text());
    if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), size_t(n));
    buffer.resize(buffer.size() * 2);  // possibly truncated: try again with more room
  }
}

Result<ProcessOutput> run_process(const std::string& program, std::span<const std::string> args,
                                  std::optional<std::chrono::milliseconds> time_limit) {
  std::optional<Clock::time_point> deadline;
  if (time_limit) deadline = Clock::now() + *time_limit;
  Result<Pipe> out_pipe = make_pipe();
  if (!out_pipe) return make_error(out_pipe.error());
  Result<Pipe> err_pipe = make_pipe();
  if (!err_pipe) return make_error(err_pipe.error());

  FileActions actions;
  ::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(actions.get(), out_pipe->write_end.get(), STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(actions.get(), err_pipe->write_end.get(), STDERR_FILENO);

  // The child starts with no blocked signals and a default SIGPIPE, whatever this process set.
  SpawnAttributes attributes;
  sigset_t no_signals;
  sigemptyset(&no_signals);
  sigset_t default_signals;
  sigemptyset(&default_signals);
  sigaddset(&default_signals, SIGPIPE);
  ::posix_spawnattr_setsigmask(attributes.get(), &no_signals);
  ::posix_spawnattr_setsigdefault(attributes.get(), &default_signals);
  ::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  pid_t pid = 0;
  const int spawned =
      ::posix_spawnp(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(), environ);
  if (spawned != 0) return make_error(os_error_text(spawned));

  // Only the child may hold the write ends now, or the reads below would never see the end.
  out_pipe->write_end.reset();
  err_pipe->write_end.reset();

  ProcessOutput output;
  if (!read_both(std::move(out_pipe->read_end), std::move(err_pipe->read_end), output.out,
                 output.err, deadline)) {
    ::kill(pid, SIGKILL);
    output.timed_out = true;
  }
  output.exit_code = wait_for(pid);
  return output;
}

}  // namespace brindle
