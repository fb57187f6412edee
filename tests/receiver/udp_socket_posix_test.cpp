// The real socket on loopback: dual-stack reception, over-long datagrams, port conflicts and the
// receive loop going on after a lost socket.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "protocol/datagram.h"
#include "receiver/receiver.h"
#include "receiver/udp_socket.h"

namespace brindle {
namespace {

using testing::make_datagram;

// A plain test-side socket that closes itself.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in6 v6_loopback(uint16_t port) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  a.sin6_port = htons(port);
  return a;
}

sockaddr_in v4_loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

template <class Address>
uint16_t local_port(int fd) {
  Address a{};
  socklen_t len = sizeof a;
  EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
  if constexpr (std::is_same_v<Address, sockaddr_in6>) {
    return ntohs(a.sin6_port);
  } else {
    return ntohs(a.sin_port);
  }
}

// A port the kernel just handed out and nobody holds now.
uint16_t free_port() {
  const Fd probe(::socket(AF_INET6, SOCK_DGRAM, 0));
  const int off = 0;
  ::setsockopt(probe.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  sockaddr_in6 any{};
  any.sin6_family = AF_INET6;
  any.sin6_addr = in6addr_any;
  EXPECT_EQ(::bind(probe.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
  return local_port<sockaddr_in6>(probe.get());
}

// A bound sender so the test knows the source port the receiver will see.
template <class Address>
Fd bound_sender(const Address& local) {
  Fd fd(::socket(reinterpret_cast<const sockaddr*>(&local)->sa_family, SOCK_DGRAM, 0));
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local), 0);
  return fd;
}

template <class Address>
void send_to(int fd, const std::vector<uint8_t>& bytes, const Address& to) {
  const ssize_t n = ::sendto(fd, bytes.data(), bytes.size(), 0,
                             reinterpret_cast<const sockaddr*>(&to), sizeof to);
  ASSERT_EQ(n, static_cast<ssize_t>(bytes.size()));
}

template <class Predicate>
bool eventually(Predicate done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Runs the receive loop on its own thread; stopping it wakes a blocked receive with a datagram.
class RunningReceiver {
 public:
  RunningReceiver(
      Receiver receiver, UdpSocket socket, uint16_t port,
      Receiver::Rebind rebind = [] { return Result<UdpSocket>(make_error("unused")); })
      : stop_(receiver.stop()),
        port_(port),
        thread_([r = std::move(receiver), s = std::move(socket),
                 rebind = std::move(rebind)]() mutable { r.run(std::move(s), rebind); }) {}
  RunningReceiver(const RunningReceiver&) = delete;
  RunningReceiver& operator=(const RunningReceiver&) = delete;
  ~RunningReceiver() { stop(); }

  void stop() {
    if (!thread_.joinable()) return;
    stop_->request();
    const Fd waker(::socket(AF_INET6, SOCK_DGRAM, 0));
    const uint8_t probe = 0;
    const sockaddr_in6 to = v6_loopback(port_);
    ::sendto(waker.get(), &probe, 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    thread_.join();
  }

 private:
  std::shared_ptr<ReceiveStop> stop_;
  uint16_t port_;
  std::thread thread_;
};

TEST(UdpSocket, DualStackLoopbackReception) {
  const uint16_t port = free_port();
  Result<UdpSocket> bound = bind_socket(port);
  ASSERT_TRUE(bound) << bound.error();

  auto jitter = std::make_shared<JitterBuffer>(999);  // no trim within these few datagrams
  Receiver receiver(jitter, 1.0f);
  const std::shared_ptr<ReceiverStats> stats = receiver.stats();
  // The push is the last step for a datagram, so a fill level seen here means its figures are in.
  const auto queued = [&jitter](size_t samples) {
    return eventually([&] { return jitter->queued_samples() == samples; });
  };
  ::testing::internal::CaptureStderr();
  RunningReceiver running(std::move(receiver), std::move(*bound), port);

  const Fd v4 = bound_sender(v4_loopback(0));
  const uint16_t v4_port = local_port<sockaddr_in>(v4.get());
  send_to(v4.get(), make_datagram(1, {100, 200, 300}), v4_loopback(port));
  ASSERT_TRUE(queued(3));
  ASSERT_TRUE(stats->last_addr());
  EXPECT_EQ(format_socket_address(*stats->last_addr()),
            "[::ffff:127.0.0.1]:" + std::to_string(v4_port));

  // 4000 bytes: the kernel hands over the first 2048 and the loop goes on.
  const std::vector<int16_t> long_payload(1994, 1000);
  send_to(v4.get(), make_datagram(2, long_payload), v4_loopback(port));
  ASSERT_TRUE(queued(3 + 1018));
  EXPECT_EQ(stats->packets.load(), 2u);

  const Fd v6 = bound_sender(v6_loopback(0));
  const uint16_t v6_port = local_port<sockaddr_in6>(v6.get());
  send_to(v6.get(), make_datagram(5, {-32768}), v6_loopback(port));
  ASSERT_TRUE(queued(3 + 1018 + 1));
  EXPECT_EQ(format_socket_address(*stats->last_addr()), "[::1]:" + std::to_string(v6_port));
  EXPECT_EQ(stats->packets.load(), 3u);
  EXPECT_EQ(stats->lost.load(), 2u);
  EXPECT_EQ(stats->peak(), 1.0f);

  // Garbage leaves no trace; the empty datagram behind it still counts.
  send_to(v6.get(), std::vector<uint8_t>(40, 0x55), v6_loopback(port));
  send_to(v6.get(), make_datagram(9, {}), v6_loopback(port));
  ASSERT_TRUE(eventually([&] { return stats->packets.load() == 4; }));
  ASSERT_TRUE(eventually([&] { return stats->lost.load() == 5; }));
  EXPECT_TRUE(eventually([&] { return stats->peak() == 0.0f; }));

  running.stop();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(stats->packets.load(), 4u);
}

// A socket that is gone is bound again after a pause, also when the first attempt fails; the
// whole episode is one line and the figures carry on.
TEST(UdpSocket, ReceiveLoopBindsAgainAfterLosingTheSocket) {
  const uint16_t port = free_port();
  auto jitter = std::make_shared<JitterBuffer>(999);
  Receiver receiver(jitter, 1.0f);
  const std::shared_ptr<ReceiverStats> stats = receiver.stats();
  receiver.handle_datagram(make_datagram(1, {1}), SocketAddress{});
  std::atomic<int> attempts{0};
  const auto rebind = [&]() -> Result<UdpSocket> {
    if (++attempts == 1) return make_error("Address already in use (os error 98)");
    return bind_socket(port);
  };
  ::testing::internal::CaptureStderr();
  RunningReceiver running(std::move(receiver), UdpSocket(), port, rebind);

  const Fd v4 = bound_sender(v4_loopback(0));
  ASSERT_TRUE(eventually([&] {
    send_to(v4.get(), make_datagram(3, {100}), v4_loopback(port));
    // Repeats of the datagram may land between two looks; one of them is enough.
    return stats->packets.load() >= 2;
  }));
  running.stop();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "UDP receive error: socket is closed — retrying\n");
  EXPECT_EQ(attempts.load(), 2);
  EXPECT_EQ(stats->lost.load(), 1u);
}

TEST(UdpSocket, PortHeldOnBothFamiliesReportsTheOsError) {
  const uint16_t port = free_port();
  Result<UdpSocket> first = bind_socket(port);
  ASSERT_TRUE(first) << first.error();

  const Result<UdpSocket> second = bind_socket(port);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error(), "Address already in use (os error 98)");
}

// Another program asking for address reuse must not get the port beside the receiver and read
// the phone's audio: the receiver's socket requests no sharing.
TEST(UdpSocket, SecondSocketWithAddressReuseCannotBindBeside) {
  const uint16_t port = free_port();
  Result<UdpSocket> held = bind_socket(port);
  ASSERT_TRUE(held) << held.error();
  const int on = 1;
  for (const int family : {AF_INET6, AF_INET}) {
    const Fd intruder(::socket(family, SOCK_DGRAM, 0));
    ASSERT_EQ(::setsockopt(intruder.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on), 0);
    ASSERT_EQ(::setsockopt(intruder.get(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on), 0);
    int rc = 0;
    if (family == AF_INET6) {
      sockaddr_in6 any{};
      any.sin6_family = AF_INET6;
      any.sin6_addr = in6addr_any;
      any.sin6_port = htons(port);
      rc = ::bind(intruder.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any);
    } else {
      sockaddr_in any{};
      any.sin_family = AF_INET;
      any.sin_addr.s_addr = htonl(INADDR_ANY);
      any.sin_port = htons(port);
      rc = ::bind(intruder.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any);
    }
    EXPECT_EQ(rc, -1) << "family " << family;
    EXPECT_EQ(errno, EADDRINUSE) << "family " << family;
  }
}

TEST(UdpSocket, FallsBackToIpv4WhenOnlyIpv6IsTaken) {
  const uint16_t port = free_port();
  // An IPv6-only holder blocks [::]:port but leaves 0.0.0.0:port free.
  const Fd holder(::socket(AF_INET6, SOCK_DGRAM, 0));
  const int on = 1;
  ASSERT_EQ(::setsockopt(holder.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on), 0);
  sockaddr_in6 any{};
  any.sin6_family = AF_INET6;
  any.sin6_addr = in6addr_any;
  any.sin6_port = htons(port);
  ASSERT_EQ(::bind(holder.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);

  Result<UdpSocket> bound = bind_socket(port);
  ASSERT_TRUE(bound) << bound.error();
  sockaddr_storage local{};
  socklen_t len = sizeof local;
  ASSERT_EQ(
      ::getsockname(static_cast<int>(bound->handle()), reinterpret_cast<sockaddr*>(&local), &len),
      0);
  EXPECT_EQ(local.ss_family, AF_INET);

  // The fallback socket delivers plain IPv4 sources.
  const Fd v4 = bound_sender(v4_loopback(0));
  send_to(v4.get(), make_datagram(1, {}), v4_loopback(port));
  std::vector<uint8_t> buffer(MAX_DATAGRAM);
  const UdpSocket::Received received = bound->receive_from(buffer);
  ASSERT_EQ(received.status, UdpSocket::ReceiveStatus::DATAGRAM);
  EXPECT_EQ(received.length, HEADER_LEN);
  EXPECT_EQ(format_socket_address(received.source),
            "127.0.0.1:" + std::to_string(local_port<sockaddr_in>(v4.get())));
}

TEST(UdpSocket, SocketIsNotInheritedAndClosesOnce) {
  Result<UdpSocket> bound = bind_socket(free_port());
  ASSERT_TRUE(bound) << bound.error();
  const int fd = static_cast<int>(bound->handle());
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);

  UdpSocket moved = std::move(*bound);
  EXPECT_FALSE(bound->valid());
  EXPECT_EQ(moved.handle(), fd);
  moved.close();
  EXPECT_FALSE(moved.valid());
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
}

}  // namespace
}  // namespace brindle
