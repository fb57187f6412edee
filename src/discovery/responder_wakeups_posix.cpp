#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>

#include "discovery/responder_wakeups.h"
#include "platform/os_error.h"

namespace brindle {

// A descriptor that closes itself.
class OwnedFd {
 public:
  explicit OwnedFd(int fd = -1) : fd_(fd) {}
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  ~OwnedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

struct ResponderWakeups::Impl {
  Impl(int wake_fd, int netlink_fd) : wake(wake_fd), netlink(netlink_fd) {}

  OwnedFd wake;
  OwnedFd netlink;  // -1 when the system did not let us watch
};

namespace {

// Address and link events; their content does not matter, the interface list is read afresh.
int open_netlink() {
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd < 0) return -1;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_LINK;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Reads everything queued; true when anything (an overflow included) was reported.
bool drain_netlink(int fd) {
  std::array<uint8_t, 8192> buffer{};
  bool reported = false;
  for (;;) {
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n > 0) {
      reported = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // ENOBUFS: events were dropped, so something changed.
    if (n < 0 && errno == ENOBUFS) {
      reported = true;
      continue;
    }
    return reported;
  }
}

}  // namespace

Result<std::unique_ptr<ResponderWakeups>> ResponderWakeups::create() {
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) return make_error(last_os_error_text());
  auto impl = std::make_unique<Impl>(wake, open_netlink());
  return std::make_unique<ResponderWakeups>(std::move(impl));
}

// poll takes the sockets afresh on every wait.
Status ResponderWakeups::watch(const MdnsSocket&) {
  return {};
}

ResponderWakeups::ResponderWakeups(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ResponderWakeups::~ResponderWakeups() = default;

void ResponderWakeups::wake() {
  const uint64_t one = 1;
  // A full counter already wakes the thread, so a failed write loses nothing.
  (void)!::write(impl_->wake.get(), &one, sizeof one);
}

ResponderWakeups::Woken ResponderWakeups::wait(std::optional<std::chrono::milliseconds> timeout,
                                               std::span<const MdnsSocket::Handle> sockets) {
  std::vector<pollfd> fds;
  fds.reserve(2 + sockets.size());
  fds.push_back({impl_->wake.get(), POLLIN, 0});
  const size_t netlink_slot = impl_->netlink.get() >= 0 ? fds.size() : 0;
  if (netlink_slot != 0) fds.push_back({impl_->netlink.get(), POLLIN, 0});
  const size_t first_socket = fds.size();
  for (const auto handle : sockets) fds.push_back({static_cast<int>(handle), POLLIN, 0});

  const int milliseconds = timeout ? static_cast<int>(std::max<int64_t>(timeout->count(), 0)) : -1;
  Woken woken;
  if (::poll(fds.data(), fds.size(), milliseconds) <= 0) return woken;  // deadline, or a signal
  if (fds[0].revents != 0) {
    uint64_t counter = 0;
    (void)!::read(impl_->wake.get(), &counter, sizeof counter);
  }
  if (netlink_slot != 0 && fds[netlink_slot].revents != 0) {
    woken.addresses = drain_netlink(impl_->netlink.get());
  }
  for (size_t i = first_socket; i < fds.size(); ++i) {
    if (fds[i].revents != 0) woken.readable.push_back(i - first_socket);
  }
  return woken;
}

}  // namespace brindle
