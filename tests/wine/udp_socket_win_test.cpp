// The receiver and responder sockets over Winsock, on loopback only.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "discovery/mdns_replies.h"
#include "discovery/mdns_socket.h"
#include "platform/winsock_win.h"
#include "receiver/udp_socket.h"

namespace brindle {
namespace {

// Away from 45333 so a receiver running on the machine does not disturb the test.
constexpr uint16_t TEST_PORT = 45391;

class Ipv4Sender {
 public:
  Ipv4Sender() {
    EXPECT_EQ(ensure_winsock(), "");
    socket_ = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  }
  Ipv4Sender(const Ipv4Sender&) = delete;
  Ipv4Sender& operator=(const Ipv4Sender&) = delete;
  ~Ipv4Sender() { ::closesocket(socket_); }

  void send(const std::vector<uint8_t>& bytes, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::sendto(socket_, reinterpret_cast<const char*>(bytes.data()),
                       static_cast<int>(bytes.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                       sizeof to),
              static_cast<int>(bytes.size()));
  }

  uint16_t local_port() const {
    sockaddr_in self{};
    int length = sizeof self;
    ::getsockname(socket_, reinterpret_cast<sockaddr*>(&self), &length);
    return ntohs(self.sin_port);
  }

 private:
  SOCKET socket_ = INVALID_SOCKET;
};

TEST(WinsockUdpSocket, DualStackSocketTakesIpv4DatagramsWithMappedSources) {
  Result<UdpSocket> socket = bind_socket(TEST_PORT);
  ASSERT_TRUE(socket.ok()) << socket.error();
  Ipv4Sender sender;
  sender.send({1, 2, 3, 4, 5}, TEST_PORT);

  std::array<uint8_t, 2048> buffer{};
  const UdpSocket::Received received = socket->receive_from(buffer);
  ASSERT_EQ(received.status, UdpSocket::ReceiveStatus::DATAGRAM) << received.error;
  EXPECT_EQ(received.length, 5u);
  EXPECT_EQ(buffer[4], 5);
  EXPECT_TRUE(received.source.is_v6);
  const std::array<uint8_t, 16> mapped = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1};
  EXPECT_EQ(received.source.ip, mapped);
  EXPECT_EQ(received.source.port, sender.local_port());
}

// Packet info names the link a query came in on and the address it was sent to.
TEST(WinsockMdnsSocket, KnowsTheArrivalInterfaceAndTheDestination) {
  Result<MdnsSocket> socket = MdnsSocket::open();
  ASSERT_TRUE(socket.ok()) << socket.error();
  Ipv4Sender sender;
  sender.send({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, MDNS_PORT);

  std::array<uint8_t, 2048> buffer{};
  const MdnsSocket::Received received = socket->try_receive(buffer);
  ASSERT_EQ(received.status, MdnsSocket::ReceiveStatus::DATAGRAM) << received.error;
  EXPECT_EQ(received.length, 12u);
  EXPECT_EQ(received.source, (Ipv4Endpoint{{127, 0, 0, 1}, sender.local_port()}));
  EXPECT_NE(received.arrival_index, 0u);
  EXPECT_EQ(received.destination, (Ipv4Address{127, 0, 0, 1}));
}

// Winsock refuses an over-long datagram with WSAEMSGSIZE; that must not end reception.
TEST(WinsockUdpSocket, OverLongDatagramIsARetryAndTheNextOneArrives) {
  Result<UdpSocket> socket = bind_socket(TEST_PORT);
  ASSERT_TRUE(socket.ok()) << socket.error();
  Ipv4Sender sender;
  sender.send(std::vector<uint8_t>(3000, 0xAB), TEST_PORT);
  sender.send({9, 8, 7}, TEST_PORT);

  std::array<uint8_t, 2048> buffer{};
  UdpSocket::Received received = socket->receive_from(buffer);
  if (received.status == UdpSocket::ReceiveStatus::DATAGRAM) {
    // A stack that cuts the datagram to the buffer instead is fine too.
    EXPECT_EQ(received.length, buffer.size());
    received = socket->receive_from(buffer);
  } else {
    EXPECT_EQ(received.status, UdpSocket::ReceiveStatus::RETRY) << received.error;
    received = socket->receive_from(buffer);
  }
  ASSERT_EQ(received.status, UdpSocket::ReceiveStatus::DATAGRAM) << received.error;
  EXPECT_EQ(received.length, 3u);
  EXPECT_EQ(buffer[0], 9);
}

TEST(WinsockUdpSocket, TakenPortReportsTheSystemError) {
  Result<UdpSocket> first = bind_socket(TEST_PORT);
  ASSERT_TRUE(first.ok()) << first.error();
  const Result<UdpSocket> second = bind_socket(TEST_PORT);
  ASSERT_FALSE(second.ok());
  EXPECT_TRUE(second.error().ends_with(" (os error 10048)")) << second.error();
}

// With SO_REUSEADDR a Windows socket may otherwise bind beside a holder that did not claim the
// port exclusively, and take the phone's datagrams.
TEST(WinsockUdpSocket, SecondSocketWithAddressReuseCannotBindBeside) {
  Result<UdpSocket> held = bind_socket(TEST_PORT);
  ASSERT_TRUE(held.ok()) << held.error();
  // Wine lets no reusing socket in either way, so the option itself is what is checked here.
  DWORD exclusive = 0;
  int exclusive_length = sizeof exclusive;
  ASSERT_EQ(::getsockopt(static_cast<SOCKET>(held->handle()), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                         reinterpret_cast<char*>(&exclusive), &exclusive_length),
            0);
  EXPECT_EQ(exclusive, 1u);
  for (const int family : {AF_INET6, AF_INET}) {
    const SOCKET intruder = ::socket(family, SOCK_DGRAM, IPPROTO_UDP);
    ASSERT_NE(intruder, INVALID_SOCKET);
    const BOOL on = TRUE;
    ASSERT_EQ(::setsockopt(intruder, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on),
                           sizeof on),
              0);
    sockaddr_storage any{};
    int length = 0;
    if (family == AF_INET6) {
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&any);
      v6->sin6_family = AF_INET6;
      v6->sin6_port = htons(TEST_PORT);
      length = sizeof *v6;
    } else {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&any);
      v4->sin_family = AF_INET;
      v4->sin_port = htons(TEST_PORT);
      length = sizeof *v4;
    }
    const int rc = ::bind(intruder, reinterpret_cast<const sockaddr*>(&any), length);
    const int code = ::WSAGetLastError();
    ::closesocket(intruder);
    EXPECT_EQ(rc, SOCKET_ERROR) << "family " << family;
    EXPECT_TRUE(code == WSAEADDRINUSE || code == WSAEACCES) << "family " << family << ": " << code;
  }
}

TEST(WinsockUdpSocket, ClosedSocketFailsInsteadOfBlocking) {
  Result<UdpSocket> socket = bind_socket(TEST_PORT);
  ASSERT_TRUE(socket.ok()) << socket.error();
  socket->close();
  std::array<uint8_t, 16> buffer{};
  EXPECT_EQ(socket->receive_from(buffer).status, UdpSocket::ReceiveStatus::FAILED);
}

}  // namespace
}  // namespace brindle
