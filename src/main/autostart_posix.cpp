// Run at login on a desktop that follows the XDG autostart rules: a desktop entry per user.
#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "main/autostart_store.h"
#include "platform/os_error.h"

namespace brindle {
namespace {

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now, so a failing close can be reported.
  int close() { return ::close(std::exchange(fd_, -1)); }

 private:
  int fd_;
};

std::string home_from_user_database() {
  std::vector<char> buffer(4096);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
    return {};
  }
  return found->pw_dir ? found->pw_dir : "";
}

std::optional<std::string> entry_path() {
  const char* const home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') {
    return autostart_entry_path(std::getenv("XDG_CONFIG_HOME"), home);
  }
  const std::string user_home = home_from_user_database();
  return autostart_entry_path(std::getenv("XDG_CONFIG_HOME"), user_home.c_str());
}

// Creates every missing folder of `dir`, private to the user as the XDG rules ask.
Status make_folders(const std::string& dir) {
  for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    const std::string prefix = dir.substr(0, slash);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
      return make_error(last_os_error_text());
    }
    if (slash == std::string::npos) return {};
  }
}

Status write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return make_error(last_os_error_text());
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

// Writes a temporary file beside `path` and renames it over: a crash leaves the old entry or the
// new one, never half of one.
Status replace_file(const std::string& path, std::string_view text) {
  const size_t slash = path.rfind('/');
  const std::string dir = path.substr(0, slash);
  const std::string temporary =
      dir + "/." + path.substr(slash + 1) + "." + std::to_string(::getpid()) + ".tmp";

  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0 && errno == EEXIST) {
    ::unlink(temporary.c_str());  // left behind by an earlier run with our process id
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  }
  if (fd < 0) return make_error(last_os_error_text());
  UniqueFd file(fd);

  Status status = write_all(file.get(), text);
  if (status && ::fsync(file.get()) != 0) status = make_error(last_os_error_text());
  if (file.close() != 0 && status) status = make_error(last_os_error_text());
  if (status && ::rename(temporary.c_str(), path.c_str()) != 0) {
    status = make_error(last_os_error_text());
  }
  if (!status) {
    ::unlink(temporary.c_str());
    return status;
  }

  // The rename itself is durable only once the folder is synced.
  const UniqueFd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() >= 0) ::fsync(folder.get());
  return {};
}

ProcessOutput failed(std::string message) {
  return ProcessOutput{1, "", std::move(message)};
}

constexpr std::string_view NO_PLACE =
    "no place for the login entry: neither XDG_CONFIG_HOME nor HOME names a folder";

class DesktopEntryStore final : public AutostartStore {
 public:
  Result<ProcessOutput> add(std::string_view data) override {
    const std::optional<std::string> path = entry_path();
    if (!path) return failed(std::string(NO_PLACE));
    const std::string dir = path->substr(0, path->rfind('/'));
    if (const Status made = make_folders(dir); !made) {
      return failed("cannot create " + dir + ": " + made.error());
    }
    if (const Status written = replace_file(*path, desktop_entry_text(data)); !written) {
      return failed("cannot write " + *path + ": " + written.error());
    }
    return ProcessOutput{};
  }

  Result<ProcessOutput> remove() override {
    const std::optional<std::string> path = entry_path();
    if (!path) return failed(std::string(NO_PLACE));
    if (::unlink(path->c_str()) != 0 && errno != ENOENT) {
      return failed("cannot remove " + *path + ": " + last_os_error_text());
    }
    return ProcessOutput{};  // also when there was nothing to remove
  }
};

}  // namespace

std::unique_ptr<AutostartStore> make_autostart_store() {
  return std::make_unique<DesktopEntryStore>();
}

}  // namespace brindle
